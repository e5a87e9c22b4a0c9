/* valtocrane-host.h
 * Everything that differs between the host series the plugin is built for
 * (Wireshark 4.0, 4.4 and 4.6), in one place, keyed on the version macros
 * of the host's own headers. A plugin loads only into the series it was
 * built against, so each series gets its own build from the same sources.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef VALTOCRANE_HOST_H
#define VALTOCRANE_HOST_H

#include <ws_version.h>

#define VALTOCRANE_HOST_AT_LEAST(major, minor) \
    (WIRESHARK_VERSION_MAJOR > (major) || \
     (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

/* From 4.2 on, the loader asks a plugin what it provides through an exported
 * plugin_describe(); without it "tshark -G plugins" lists the plugin's type
 * as "unknown". */
#if VALTOCRANE_HOST_AT_LEAST(4, 2)
#include <wsutil/plugins.h>
#define VALTOCRANE_HOST_HAS_PLUGIN_DESCRIBE 1
#else
#define VALTOCRANE_HOST_HAS_PLUGIN_DESCRIBE 0
#endif

#endif /* VALTOCRANE_HOST_H */
