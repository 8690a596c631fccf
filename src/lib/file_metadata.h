// What a replaced file keeps of the old one beyond its owner, group and mode.
#ifndef SONVEL_FILE_METADATA_H
#define SONVEL_FILE_METADATA_H

// Makes the extended attributes of fd those of the old file's descriptor old (ACLs
// among them); false when one cannot be read, removed or set.
bool copyAttributes(int old, int fd);

// Gives fd the inode flags of old that an owner may set (chattr's d, A, S, C); false
// when one cannot be given.
bool copyFlags(int old, int fd);

#endif
