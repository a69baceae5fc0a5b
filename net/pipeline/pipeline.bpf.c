/* A line card's data plane: provider bridging and trapping at every port's tc ingress, and at
 * every port's tc egress the fence that lets out only what the pipeline forwarded and what the
 * task in its role sent. dataplane/defs.h says
 * what becomes of a frame; dataplane/abi.h holds the tables the chassis daemon writes.
 *
 * One object with one set of maps, which the loader takes whole and finds the programs in by
 * name: each program is a file of bpf/, included here, over that folder's headers by concern
 * (maps.h, parse.h, count.h, bridge.h, police.h, trap.h). One compilation unit keeps the build a
 * single clang call and each shared global function defined once. */
#include "net/pipeline/bpf/egress.bpf.c"
#include "net/pipeline/bpf/forget.bpf.c"
#include "net/pipeline/bpf/ingress.bpf.c"
#include "net/pipeline/bpf/rates.bpf.c"
#include "net/pipeline/bpf/task_tx.bpf.c"

char LICENSE[] SEC("license") = "Dual BSD/GPL";
