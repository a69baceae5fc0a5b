/* Why the data plane did not pass a frame on: the one list both data planes, the counters, the
 * trace and the tests take their reasons from. Each reason: its C name (L2PT_DP_DROP_<C>), its
 * C++ name (chassis::DropReason::<Cpp>), its key in the frame table, and the text operators see in the trace, the counters and the metrics.
 * Nothing else in this header, so that the task's translation units may include it. */
#ifndef L2PT_DATAPLANE_DROP_REASONS_H
#define L2PT_DATAPLANE_DROP_REASONS_H

/* clang-format off */
#define L2PT_DROP_REASONS(X)                                                                      \
    /* entered or left through no port */                                                         \
    X(NO_PORT, NoPort, no_port, "no such port")                                                   \
    /* shorter than an Ethernet header (a provider frame: without its tag) */                     \
    X(RUNT, Runt, runt, "runt frame")                                                             \
    /* the port's line card is not there */                                                       \
    X(CARD_ABSENT, CardAbsent, card_absent, "card absent")                                        \
    /* the port is no member of the frame's VLAN */                                               \
    X(NO_VLAN, NoVlan, no_vlan, "no VLAN")                                                        \
    /* over the rate of its trap entry */                                                         \
    X(POLICED, Policed, policed, "policed")                                                       \
    /* no task takes trapped frames */                                                            \
    X(NO_SOCKET, NoSocket, no_socket, "no socket")                                                \
    X(NO_LIVE_MEMBER, NoLiveMember, no_live_member, "LAG without live member")                    \
    X(SEND_FAILED, SendFailed, send_failed, "send failed")                                        \
    X(TAG_STACK, TagStack, tag_stack, "tag stack too deep")                                       \
    /* longer than the way out takes */                                                           \
    X(OVER_MTU, OverMtu, over_mtu, "over the MTU")                                                \
    /* longer than L2PT_TRAP_MAX_LEN */                                                           \
    X(TRAP_TOO_LONG, TrapTooLong, trap_too_long, "too long to trap")                              \
    /* the way out has no live interface */                                                       \
    X(PORT_DOWN, PortDown, port_down, "port down")                                                \
    /* known unicast for the port it came from */                                                 \
    X(FILTERED, Filtered, filtered, "filtered")                                                   \
    /* a PDU from a task that lost its role */                                                    \
    X(FENCED, Fenced, fenced, "fenced sender")                                                    \
    /* the task's ring is full */                                                                 \
    X(TASK_BEHIND, TaskBehind, task_behind, "task behind")                                        \
    /* a reserved address the port's table discards (or tunnels, with no entry trapping it) */    \
    X(L2CP, L2cp, l2cp, "L2CP discarded")                                                         \
    /* the tunnel MAC in a frame that is not provider traffic */                                  \
    X(TUNNEL_MAC, TunnelMac, tunnel_mac, "tunnel MAC from a customer")                            \
    /* leaving a port, neither forwarded by the pipeline nor sent by the task in its role */     \
    X(HOST_TX, HostTx, host_tx, "sent by the host")                                               \
    /* a new source past its port's or VLAN's limit, on a port that drops such frames */         \
    X(LEARN_LIMIT, LearnLimit, learn_limit, "learning limit")                                     \
    /* over its port's limit for its class */                                                     \
    X(STORM, Storm, storm, "storm control")                                                       \
    /* over its port's rate of PDUs or its room in the task's ring */                             \
    X(PDU_SHARE, PduShare, pdu_share, "over the port's PDU share")                                \
    /* from the task, in no form a PDU of the port's takes: a core port's without the tunnel    \
     * MAC or a protocol's address under the provider tag of a VLAN it is core in, an access    \
     * port's without a protocol's address */                                                     \
    X(TASK_FORM, TaskForm, task_form, "no PDU of the task's for the port")
/* clang-format on */

#endif
