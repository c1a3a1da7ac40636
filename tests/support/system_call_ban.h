// BanSystemCalls: from the call on, the process is killed at its first system call but
// exit_group, which proves that a stretch of code makes none. Meant for a forked child (a death
// test or a benchmark's probe) that ends with syscall(SYS_exit_group, ...). POSIX (x86-64) only.
#ifndef MIREL_TESTS_SUPPORT_SYSTEM_CALL_BAN_H
#define MIREL_TESTS_SUPPORT_SYSTEM_CALL_BAN_H

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// Returns false, with nothing banned, where the kernel refuses the filter.
inline bool BanSystemCalls() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

#endif  // MIREL_TESTS_SUPPORT_SYSTEM_CALL_BAN_H
