// The output file: a named file appears whole or not at all.
#ifndef SONVEL_OUT_FILE_H
#define SONVEL_OUT_FILE_H

#include <cstdio>
#include <string>

// An output file being written. A regular file, or a name not yet taken, is written
// under a temporary name in the directory of the final file and renamed over it only
// once the last byte is written, flushed and closed; until then the target keeps its old
// bytes or stays absent. Anything else (a FIFO, a terminal, /dev/stdout, /dev/null) is
// written directly, so that a pipe to another program keeps working.
struct OutputFile {
    FILE *stream = nullptr;
    std::string target;    // the file that receives the result: the path, symlinks followed
    std::string tempPath;  // the temporary file's visible name, empty while it has none
    bool direct = false;   // written in place
    bool unnamed = false;  // an O_TMPFILE file, given a name only at commit
};

// Opens path for the output. With allowUnnamed false, the temporary file always gets a
// visible name (the way of file systems without O_TMPFILE). Returns 0, or 1 when the
// file cannot be written (nothing is printed: the caller reports it).
int openOutput(const char *path, OutputFile *out, bool allowUnnamed = true);

// Flushes and closes the stream and, for a temporary file, renames it over the target.
// Returns 0, or 1 when a byte may not have reached the file; the temporary file is
// then removed and the target left as it was.
int commitOutput(OutputFile *out);

// Closes the stream and removes the temporary file; a direct output keeps what it
// received. Safe to call on a committed or never-opened output.
void discardOutput(OutputFile *out);

#endif
