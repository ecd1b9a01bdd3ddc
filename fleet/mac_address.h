// MAC addresses as people type them and as devices advertise them.
#pragma once

#include <string>

// Six pairs of hexadecimal digits separated by colons, in any letter case.
bool is_mac_address(const std::string& text);

// The same device whatever the letter case of either text.
bool same_mac(const std::string& a, const std::string& b);

// Upper case, the form the device list and the reports show.
std::string mac_key(const std::string& mac);
