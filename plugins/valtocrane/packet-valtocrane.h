/* packet-valtocrane.h
 * Registration routines of the ValtoCrane dissector, called from the
 * plugin's entry point.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef PACKET_VALTOCRANE_H
#define PACKET_VALTOCRANE_H

void proto_register_valtocrane(void);
void proto_reg_handoff_valtocrane(void);

#endif /* PACKET_VALTOCRANE_H */
