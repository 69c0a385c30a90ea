// The three hosts of the service, fixed at build time by the meson options
// api_host, aps_host and site_host. Everything else reads them from here.
#pragma once

#include "module/python.h"

#include "hosts_config.h"

// FW_API_HOST   the web API: listings and download addresses
// FW_APS_HOST   the second listing API, used when the first one fails
// FW_SITE_HOST  the web site, only named in the Referer of downloads
#define FW_API_BASE "https://" FW_API_HOST
#define FW_APS_BASE "https://" FW_APS_HOST
#define FW_SITE_BASE "https://" FW_SITE_HOST
// A file's download address is asked for here, with its pickcode.
#define FW_ADDRESS_BASE FW_API_BASE "/files/download"
