// The output file: nothing that was there is lost, and a named file appears whole or
// not at all wherever that can be done without changing who may read it.
#ifndef SONVEL_OUT_FILE_H
#define SONVEL_OUT_FILE_H

#include <csignal>
#include <cstdio>
#include <string>

// How the output reaches its target, decided by openOutput from what the path is.
enum class OutputKind {
    // A regular file or a new name: written under a temporary name in the target's
    // directory and renamed over it once the last byte is written, flushed and closed.
    Replace,
    // A regular file that a replacement could not keep as it is (other hard links, an
    // owner, group, ACL, extended attribute or flag the new file could not be given, a
    // directory that refuses new names or renames, a mount point, a disk without room
    // for a second copy): locked (flock, so a second run waits), and truncated and
    // written in place once the run is sure to succeed and only when the disk and the
    // file-size limit hold the new file. A failed write after that leaves a partial file.
    InPlace,
    // A FIFO, a device or a socket: opened and written directly once the run is sure to
    // succeed, so that a refused run never touches it.
    Direct,
    // One of the program's own open descriptors, named /dev/stdout, /dev/stderr,
    // /dev/fd/N or /proc/self/fd/N: written through that descriptor as it was handed
    // over, never reopened, so nothing before or after the samples is lost and an
    // appending stream keeps appending.
    Inherited,
};

// The one owner of the output's stream, descriptor and temporary file: destroyed
// without a commit, it discards them (discardOutput), so an early return or an
// exception leaves no temporary file behind. It moves but is never copied.
struct OutputFile {
    FILE *stream = nullptr;  // set by beginOutput
    OutputKind kind = OutputKind::Replace;
    std::string path;      // the path as given, which the kernel opens
    std::string target;    // the file that receives the result: the path, symlinks followed
    std::string tempPath;  // the temporary file's visible name, empty while it has none
    int fd = -1;           // the descriptor written to, before beginOutput wraps it
    bool unnamed = false;  // an O_TMPFILE file, given a name only at commit
    bool finished = false;  // finishOutput succeeded: only the rename is left
    long long expectedBytes = 0;  // the finished size, checked before an in-place write
    std::string why;  // after a refusal, its reason as a sentence, or empty when none is known

    OutputFile() = default;
    OutputFile(OutputFile &&other) noexcept;
    OutputFile &operator=(OutputFile &&other) noexcept;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();
};

struct OutputOptions {
    // The size the finished file will have, to see whether a second copy fits and,
    // for a file written in place, whether the disk and the file-size limit hold it
    // (0: unknown, not checked).
    long long expectedBytes = 0;
    // The standard descriptors (bit n for descriptor n) that were closed when the
    // program started; the program may have put /dev/null there since.
    unsigned closedAtStart = 0;
    // Whether an O_TMPFILE file may be used; else the temporary file always has a
    // visible name (the way of file systems without it).
    bool allowUnnamed = true;
};

// The program's own descriptor that path names, after symbolic links (/dev/stdout,
// /dev/fd/N, /proc/self/fd/N ...), or -1.
int descriptorOfPath(const char *path);

// Decides how path is written and claims it: creates the temporary file, or checks
// that the target can be opened for writing, touching nothing that is there. Returns
// false when it cannot be written (the caller reports it; out->why may say why). A
// symbolic link that another user planted in a sticky, world-writable directory is not
// followed, whatever fs.protected_symlinks says.
bool openOutput(const char *path, OutputFile *out, const OutputOptions &options = {});

// Once the run is sure to succeed: opens a direct target, truncates an in-place one,
// and gives out->stream. Returns false when that fails (nothing is written then); an
// in-place file is refused before its truncation when the free space or the file-size
// limit cannot hold out->expectedBytes.
bool beginOutput(OutputFile *out);

// Whether the in-place file out can take out->expectedBytes (always true for the other
// kinds, whose failures leave the target as it was); else sets out->why.
bool roomForOutput(OutputFile *out);

// Flushes and closes the stream and gives an unnamed temporary file its name: all of a
// commit but the rename, so that several outputs can be placed together. Returns false
// when a byte may not have reached the file; the output is then discarded.
bool finishOutput(OutputFile *out);

// Flushes and closes the stream and, for a temporary file, renames it over the target.
// Returns false when a byte may not have reached the file; the temporary file is then
// removed and the target left as it was.
bool commitOutput(OutputFile *out);

// Closes the stream and removes the temporary file; other kinds keep what they
// received. Safe to call on a committed or never-opened output.
void discardOutput(OutputFile *out);

#endif
