/* What the VPN dissectors share: naming the VPN service behind the
 * server's address. */
#ifndef OXLO_VPN_PRIVATE_H
#define OXLO_VPN_PRIVATE_H

#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"

/* The VPN protocol, or the VPN service the server's address names (a
 * protocol of traffic class 2) over it when by_ip is on. */
static inline void vpn_set_protocol(oxlo_module *m, oxlo_flow_state *f, uint16_t vpn, int by_ip,
                                    oxlo_confidence_level confidence)
{
    const oxlo_proto_defaults *p = f->guess_by_address ? oxlo_proto_defaults_get(m, f->guess_by_address) : NULL;
    if (by_ip && p && p->service_class == 2)
        oxlo_flow_set_protocol(m, f, f->guess_by_address, vpn, confidence);
    else
        oxlo_flow_set_protocol(m, f, vpn, OXLO_PROTOCOL_UNKNOWN, confidence);
}

#endif
