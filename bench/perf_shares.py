#!/usr/bin/env python3
"""Splits one process's samples in a system-wide profile into the shares the
performance document quotes: for a connecting phase, what creating threads
costs against registering; for a relay, sending against receiving, waking
and our own code. Each sample counts once, under the first group whose
frames it contains, in the order listed.

    perf record -a -e cpu-clock --call-graph dwarf,8192 -F 4000 -o P -- sleep S
    perf_shares.py P COMM connect|relay

COMM is the process name as perf shows it (zelkord, zelkord-relay, ...).
"""
import collections
import subprocess
import sys

GROUPS = {
    "connect": [
        ("creating the connection's thread",
         ["StartDetachedThread", "kernel_clone", "allocate_stack", "__pthread_create",
          "ret_from_fork", "schedule_tail", "rseq_register_current_thread"]),
        ("accepting", ["AcceptForChain", "TcpAccept", "TcpPeerPort"]),
        ("sending the welcome", ["FlushPendingOutput"]),
        ("registering", ["RegistrationStep", "AdmitConnection"]),
        ("reading lines", ["LineReader"]),
        ("the writer thread", ["OutputWriter::Loop"]),
    ],
    "relay": [
        ("sending, kernel and entry", ["__sys_sendto", "__sys_sendmsg", "__libc_send", "__send"]),
        ("receive, kernel", ["__sys_recvfrom", "ksys_read"]),
        ("epoll and futex waits", ["do_epoll_wait", "do_futex"]),
        ("scheduling, interrupts", ["schedule", "irqentry_exit", "asm_sysvec", "handle_softirqs"]),
        ("other system calls", ["entry_SYSCALL_64"]),
    ],
}


def main() -> int:
    if len(sys.argv) != 4 or sys.argv[3] not in GROUPS:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    data, comm, kind = sys.argv[1:]
    script = subprocess.run(["perf", "script", "-i", data, "--comm", comm, "-F", "ip,sym,dso"],
                            capture_output=True, text=True, check=True).stdout
    counts = collections.Counter()
    own = collections.Counter()  # user-space leaves outside every group
    total = 0
    for block in script.split("\n\n"):
        frames = [line.strip() for line in block.strip().splitlines() if line.strip()]
        if not frames:
            continue
        total += 1
        text = "\n".join(frames)
        for name, keys in GROUPS[kind]:
            if any(key in text for key in keys):
                counts[name] += 1
                break
        else:
            if "[kernel" in frames[0]:
                counts["other, kernel"] += 1
            else:
                counts["other, user space"] += 1
                own[frames[0].split(" ", 1)[-1][:72]] += 1
    if total == 0:
        print(f"no samples of {comm} in {data}", file=sys.stderr)
        return 1
    print(f"{total} samples of {comm}")
    for name, count in counts.most_common():
        print(f"{name:28s} {count:6d} {100 * count / total:5.1f} %")
    print("user-space leaves outside the groups:")
    for leaf, count in own.most_common(12):
        print(f"  {count:6d}  {leaf}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
