// The host's identity record (orvi_dev_info) with its accessors. The record
// is shared by every thread; accessors lock it and text getters return copies.
#pragma once

#include <string>

std::string product_get_mac_str(void);       // home MAC identifier
std::string product_get_host_mac_str(void);  // host identifier (MACFile.config)
std::string product_get_default_key(void);
std::string product_get_random_key(void);
std::string product_get_home_key(void);
unsigned char product_get_net_status(void);
bool product_get_resotre_status(void);
