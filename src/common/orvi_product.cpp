// Placeholder accessors until the identity store lands.
#include "orvi_product.h"

std::string product_get_mac_str(void) { return ""; }
std::string product_get_host_mac_str(void) { return ""; }
std::string product_get_default_key(void) { return "0123456789abcdef"; }
std::string product_get_random_key(void) { return ""; }
std::string product_get_home_key(void) { return ""; }
unsigned char product_get_net_status(void) { return 0; }
bool product_get_resotre_status(void) { return false; }
