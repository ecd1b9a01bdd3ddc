// The program keeps text in UTF-8; the window system takes UTF-16. These
// convert at the boundary, so that any file name works whatever the PC's
// code page.
#pragma once

#include <string>

std::wstring wide_of(const std::string& utf8);
std::string utf8_of(const std::wstring& wide);
