// What a replaced file keeps of the old one beyond its owner, group and mode: its
// extended attributes (ACLs among them) and the inode flags an owner may set.
#include "file_metadata.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// The names of the extended attributes of fd that the caller can see, each ended by a
// NUL; false when they cannot be read. A file system without attributes has none.
bool attributeNames(int fd, std::vector<char> *names)
{
    names->clear();
    ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    names->resize(static_cast<size_t>(size) + 1);
    size = flistxattr(fd, names->data(), names->size());
    if (size < 0) return false;
    names->resize(static_cast<size_t>(size));
    return true;
}

template <typename Each>
bool eachName(const std::vector<char> &names, Each each)
{
    for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1)
        if (!each(&names[at])) return false;
    return true;
}

}  // namespace

// Makes the extended attributes of fd those of the old file's descriptor old: ACLs
// among them, which live in the system.posix_acl_* attributes. An attribute that the
// new file got from its directory (a default ACL's inherited entries) and the old file
// lacks is removed; security labels are the system's to give. False when one cannot
// be read, removed or set.
bool copyAttributes(int old, int fd)
{
    std::vector<char> oldNames, newNames;
    if (!attributeNames(old, &oldNames) || !attributeNames(fd, &newNames)) return false;
    const bool removed = eachName(newNames, [&](const char *name) {
        if (std::strncmp(name, "security.", 9) == 0) return true;
        if (fgetxattr(old, name, nullptr, 0) >= 0 || errno != ENODATA) return true;
        return fremovexattr(fd, name) == 0;
    });
    return removed && eachName(oldNames, [&](const char *name) {
        ssize_t length = fgetxattr(old, name, nullptr, 0);
        if (length < 0) return false;
        std::vector<char> value(static_cast<size_t>(length) + 1);
        length = fgetxattr(old, name, value.data(), value.size());
        return length >= 0 && fsetxattr(fd, name, value.data(), static_cast<size_t>(length), 0) == 0;
    });
}

// Gives fd the inode flags of old that an owner may set (chattr's d, A, S, C); false
// when one cannot be given. A file system without flags has none to keep.
bool copyFlags(int old, int fd)
{
    const int KEPT = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_NOCOW_FL;
    int oldFlags = 0, newFlags = 0;
    if (ioctl(old, FS_IOC_GETFLAGS, &oldFlags) != 0) return true;
    if (ioctl(fd, FS_IOC_GETFLAGS, &newFlags) != 0) return (oldFlags & KEPT) == 0;
    if ((oldFlags & KEPT) == (newFlags & KEPT)) return true;
    newFlags = (newFlags & ~KEPT) | (oldFlags & KEPT);
    return ioctl(fd, FS_IOC_SETFLAGS, &newFlags) == 0;
}
