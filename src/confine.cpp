#include "confine.h"

#include "diag.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// Rights of later Landlock ABIs, for older kernel headers.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace {

struct fd_owner {
    int fd;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct filter_owner {
    scmp_filter_ctx ctx;
    ~filter_owner()
    {
        if (ctx != nullptr)
            seccomp_release(ctx);
    }
};

// Landlock: the rights that make or change files, allowed only beneath the
// target directory, and running programs, allowed nowhere. Returns the ABI
// version in force, or 0 when the kernel offers none or it cannot be set up.
int restrict_file_system(const char *target_dir)
{
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return 0;
    std::uint64_t writes = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                           LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                           LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                           LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                           LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        writes |= LANDLOCK_ACCESS_FS_REFER; // renames and links across directories
    if (abi >= 3)
        writes |= LANDLOCK_ACCESS_FS_TRUNCATE;

    landlock_ruleset_attr ruleset{};
    ruleset.handled_access_fs = writes | LANDLOCK_ACCESS_FS_EXECUTE;
    fd_owner rules{static_cast<int>(
        syscall(SYS_landlock_create_ruleset, &ruleset, sizeof ruleset, 0))};
    fd_owner target{open(target_dir, O_PATH | O_CLOEXEC)};
    if (rules.fd < 0 || target.fd < 0)
        return 0;
    landlock_path_beneath_attr beneath{};
    beneath.allowed_access = writes;
    beneath.parent_fd = target.fd;
    if (syscall(SYS_landlock_add_rule, rules.fd, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0) != 0 ||
        syscall(SYS_landlock_restrict_self, rules.fd, 0) != 0)
        return 0;
    return static_cast<int>(abi);
}

bool deny(scmp_filter_ctx ctx, const char *name, int code = EPERM)
{
    int number = seccomp_syscall_resolve_name(name);
    // A call this libseccomp does not know is one this program never makes.
    return number == __NR_SCMP_ERROR || seccomp_rule_add(ctx, SCMP_ACT_ERRNO(code), number, 0) == 0;
}

// The system-call filter. Everything else stays allowed: the libraries'
// needs (threads for name lookup, sockets, the system log) are many and
// change between versions; these calls are what an intruder would need.
bool filter_system_calls()
{
    filter_owner filter{seccomp_init(SCMP_ACT_ALLOW)};
    if (filter.ctx == nullptr)
        return false;
    static const char *const denied[] = {
        "execve", "execveat", "process_vm_writev", "process_vm_readv",
        "mount", "umount2", "pivot_root", "chroot", "move_mount", "open_tree", "fsopen",
        "fsconfig", "fsmount", "fspick", "mount_setattr", "unshare", "setns",
        "bpf", "keyctl", "add_key", "request_key",
        "kexec_load", "kexec_file_load", "init_module", "finit_module", "delete_module",
#if !defined(__SANITIZE_ADDRESS__)
        // LeakSanitizer stops the process's threads with ptrace to look
        // for leaks at its end: a sanitizer build keeps it.
        "ptrace",
#endif
    };
    bool made = true;
    for (const char *name : denied)
        made = made && deny(filter.ctx, name);
    // A new thread or process in new namespaces. clone3 passes its flags in
    // memory, out of a filter's sight: it is answered as unknown, and the C
    // library falls back to clone, whose flags the filter reads.
    static const unsigned long namespaces[] = {CLONE_NEWNS,  CLONE_NEWCGROUP, CLONE_NEWUTS,
                                               CLONE_NEWIPC, CLONE_NEWUSER,   CLONE_NEWPID,
                                               CLONE_NEWNET};
    for (unsigned long flag : namespaces)
        made = made && seccomp_rule_add(filter.ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                                        SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)) == 0;
    made = made && deny(filter.ctx, "clone3", ENOSYS);
    return made && seccomp_load(filter.ctx) == 0;
}

} // namespace

void confine(const char *target_dir)
{
    int saved = errno; // later warnings show what the run's own calls left
    // Neither confinement can be undone, nor widened by running a program
    // with more rights.
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    int abi = restrict_file_system(target_dir);
    bool filtered = filter_system_calls();
    if (abi > 0 && filtered)
        debug("confinement : Landlock ABI %d, system-call filter\n", abi);
    else if (abi > 0)
        debug("confinement : Landlock ABI %d, no system-call filter\n", abi);
    else if (filtered)
        debug("confinement : no Landlock, system-call filter\n");
    else
        debug("confinement : none\n");
    errno = saved;
}
