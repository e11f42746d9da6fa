/* Runs a command under the system-call restrictions of a service unit, as
 * the service manager would impose them, for a machine that runs none:
 *
 *   unit_filter ALLOWED -- command [argument ...]
 *
 * ALLOWED names the allowed system calls, one per line (the unit's
 * SystemCallFilter=, expanded); any other call fails with EPERM. Sockets
 * are limited to AF_UNIX, AF_INET and AF_INET6 (RestrictAddressFamilies=),
 * memory cannot be both writable and executable (MemoryDenyWriteExecute=),
 * and no privileges can be gained (NoNewPrivileges=). */
#define _GNU_SOURCE
#include <errno.h>
#include <seccomp.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef PR_SET_MDWE
#define PR_SET_MDWE 65
#define PR_MDWE_REFUSE_EXEC_GAIN 1
#endif

int main(int argc, char **argv)
{
    if (argc < 4 || strcmp(argv[2], "--") != 0) {
        fprintf(stderr, "usage: unit_filter ALLOWED -- command [argument ...]\n");
        return 2;
    }
    FILE *list = fopen(argv[1], "r");
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (list == NULL || ctx == NULL) {
        perror("unit_filter");
        return 2;
    }
    char name[128];
    while (fscanf(list, "%127s", name) == 1) {
        int nr = seccomp_syscall_resolve_name(name);
        if (nr == __NR_SCMP_ERROR || strcmp(name, "socket") == 0)
            continue;
        seccomp_rule_add(ctx, SCMP_ACT_ALLOW, nr, 0);
    }
    fclose(list);
    const int families[] = {AF_UNIX, AF_INET, AF_INET6};
    for (unsigned i = 0; i < sizeof families / sizeof families[0]; i++)
        seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(socket), 1,
                         SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)families[i]));
    if (prctl(PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN, 0, 0, 0) != 0)
        fprintf(stderr, "unit_filter: no MemoryDenyWriteExecute here: %s\n", strerror(errno));
    if (seccomp_load(ctx) != 0) {
        fprintf(stderr, "unit_filter: cannot load the filter\n");
        return 2;
    }
    execv(argv[3], argv + 3);
    perror("unit_filter: exec");
    return 127;
}
