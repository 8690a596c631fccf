// Paths as the output file meets them.
#ifndef SONVEL_FILE_PATHS_H
#define SONVEL_FILE_PATHS_H

#include <sys/stat.h>

#include <string>

// The directory of path: "." for a bare name.
std::string dirOf(const std::string &path);

// The descriptor that a path names by itself (/dev/stdout, /dev/stderr, /dev/stdin,
// /dev/fd/N, /proc/self/fd/N), or -1.
int descriptorNamed(const std::string &path);

// Whether the kernel's rule for links in shared directories forbids following the link
// st at path (a sticky, world-writable directory, a link of neither the caller nor the
// directory's owner), whether or not fs.protected_symlinks is set.
bool plantedLink(const std::string &path, const struct stat &st);

// Follows symbolic links to the file a path names, stopping at a name of one of the
// program's descriptors (stored in *fd, else -1); an empty string for a link that
// plantedLink forbids, on the way or at the end.
std::string followLinks(std::string path, int *fd);

#endif
