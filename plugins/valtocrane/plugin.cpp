/* plugin.cpp
 * Entry points by which the host's plugin loader finds the ValtoCrane
 * dissector.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#define WS_BUILD_DLL
#include <wireshark.h>
#include <epan/proto.h>
#include <epan/tap.h>

#include "packet-valtocrane.h"
#include "valtocrane-host.h"

#ifndef VALTOCRANE_VERSION
#error "VALTOCRANE_VERSION must be defined by the build"
#endif

/* A namespace-scope const object has internal linkage in C++, even inside
 * extern "C": the data symbols are declared extern first, or the loader
 * would find no plugin_version and skip the plugin. */
extern "C" {
WS_DLL_PUBLIC const gchar plugin_version[];
WS_DLL_PUBLIC const int plugin_want_major;
WS_DLL_PUBLIC const int plugin_want_minor;
WS_DLL_PUBLIC void plugin_register(void);
#if VALTOCRANE_HOST_HAS_PLUGIN_DESCRIBE
WS_DLL_PUBLIC uint32_t plugin_describe(void);
#endif

const gchar plugin_version[] = VALTOCRANE_VERSION;
/* The loader accepts a plugin only for the host series it was built for. */
const int plugin_want_major = WIRESHARK_VERSION_MAJOR;
const int plugin_want_minor = WIRESHARK_VERSION_MINOR;

void
plugin_register(void)
{
    static proto_plugin plugin_valtocrane;
    static tap_plugin statistics;

    plugin_valtocrane.register_protoinfo = proto_register_valtocrane;
    plugin_valtocrane.register_handoff = proto_reg_handoff_valtocrane;
    proto_register_plugin(&plugin_valtocrane);
    /* The latency statistics, when the program registers its own. */
    statistics.register_tap_listener = valtocrane_register_statistics;
    tap_register_plugin(&statistics);
}

#if VALTOCRANE_HOST_HAS_PLUGIN_DESCRIBE
uint32_t
plugin_describe(void)
{
    return WS_PLUGIN_DESC_DISSECTOR | WS_PLUGIN_DESC_TAP_LISTENER;
}
#endif
}
