// Where the batch report lives on disk: owned by one batch at a time (a
// lock file beside it), replaced whole after every device (a temporary
// file made beside it, pushed to the disk, then renamed over it), so that a
// reader, a crash or a power cut always finds a whole report.
#pragma once

#include <string>
#include <vector>

struct os_file_lock;

class report_file {
 public:
  report_file() = default;
  ~report_file();
  report_file(const report_file&) = delete;
  report_file& operator=(const report_file&) = delete;

  // Before anything is written: a report path that exists and is not a
  // regular file (a folder, a device, a link) is refused with the reason;
  // so is one for which an input (the image, the device list) is a file
  // the batch writes or removes: the report itself, its lock, or a name its
  // temporary files take, however the input is spelled or linked. The
  // earlier report it resumes from (empty: none) may be the report itself,
  // and nothing else of those.
  static bool usable(const std::string& path, const std::vector<std::string>& inputs,
                     const std::string& resumed_from, std::string& reason);

  // Takes the report at `path` for this batch: `in_use` with the reason
  // when another batch holds it (naming that process), `unusable` when the
  // lock cannot be made (the system's reason). Temporary files a killed
  // batch left beside it go.
  enum class taken { yes, in_use, unusable };
  taken take(const std::string& path, std::string& reason);

  // Puts `text` in place of the report. False with the reason, which names
  // the report and the system's own words, never the temporary file; the
  // temporary file is gone then, and the report is as it was.
  bool write(const std::string& text, std::string& reason);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  os_file_lock* lock_ = nullptr;
};
