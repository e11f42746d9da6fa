// Confinement: once its options are read, the process can make and change
// files only beneath the target directory, and cannot run programs.
#ifndef WAVELOT_CONFINE_H
#define WAVELOT_CONFINE_H

// Confines the process for the rest of the run. Landlock leaves the file
// system readable everywhere but writable only beneath `target_dir`, and
// lets no program be run; a system-call filter answers running programs,
// tracing, mounts, namespaces, BPF, kernel keys and modules with EPERM.
// What the kernel does not offer is left out and the run goes on all the
// same; with -v one line says what is in force.
void confine(const char *target_dir);

#endif
