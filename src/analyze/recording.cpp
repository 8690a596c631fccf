#include "recording.h"

#include <algorithm>
#include <cstring>

namespace {

Result finishOpen(Recording *rec)
{
    if (!rec->file)
        return failure("\"" + rec->name + "\": not a sound file that can be read (" + sf_strerror(nullptr) + ").");
    if (rec->info.channels < 1 || rec->info.samplerate < 1) {
        rec->file.reset();
        return failure("\"" + rec->name + "\": a sound file without channels or rate.");
    }
    return Status::Ok;
}

sf_count_t memLength(void *user) { return static_cast<MemoryFile *>(user)->size; }
sf_count_t memSeek(sf_count_t offset, int whence, void *user)
{
    MemoryFile *m = static_cast<MemoryFile *>(user);
    sf_count_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? m->at + offset : m->size + offset;
    if (to < 0 || to > m->size) return -1;
    return m->at = to;
}
sf_count_t memRead(void *ptr, sf_count_t count, void *user)
{
    MemoryFile *m = static_cast<MemoryFile *>(user);
    sf_count_t n = std::max<sf_count_t>(0, std::min(count, m->size - m->at));
    if (n > 0) std::memcpy(ptr, m->data + m->at, static_cast<size_t>(n));
    m->at += n;
    return n;
}
sf_count_t memWrite(const void *, sf_count_t, void *) { return 0; }
sf_count_t memTell(void *user) { return static_cast<MemoryFile *>(user)->at; }

}  // namespace

Result openRecording(const char *path, Recording *rec)
{
    rec->file.reset();
    rec->name = path;
    rec->info = SF_INFO{};
    rec->file.reset(sf_open(path, SFM_READ, &rec->info));
    return finishOpen(rec);
}

Result openRecordingInMemory(const void *data, long long size, Recording *rec)
{
    static SF_VIRTUAL_IO io = {memLength, memSeek, memRead, memWrite, memTell};
    rec->file.reset();
    rec->memory = MemoryFile{static_cast<const unsigned char *>(data), size, 0};
    rec->name = "memory";
    rec->info = SF_INFO{};
    rec->file.reset(sf_open_virtual(&io, SFM_READ, &rec->info, &rec->memory));
    return finishOpen(rec);
}

ChannelReader::ChannelReader(Recording *rec, int a, int b) : rec_(rec), a_(a), b_(b)
{
    // About 64 Ki samples a block, whatever the channel count.
    const long long frames = std::max(1, 65536 / rec->info.channels);
    buffer_.resize(static_cast<size_t>(frames * rec->info.channels));
}

bool ChannelReader::seek(long long frame) { return sf_seek(rec_->file.get(), frame, SEEK_SET) == frame; }

long long ChannelReader::read(long long count, double *x, double *y)
{
    const int channels = rec_->info.channels;
    const long long block = static_cast<long long>(buffer_.size()) / channels;
    long long done = 0;
    while (done < count) {
        const sf_count_t want = std::min(block, count - done);
        const sf_count_t got = sf_readf_double(rec_->file.get(), buffer_.data(), want);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; i++) {
            x[done + i] = buffer_[static_cast<size_t>(i * channels + a_)];
            if (b_ >= 0) y[done + i] = buffer_[static_cast<size_t>(i * channels + b_)];
        }
        done += got;
        if (got < want) break;
    }
    return done;
}
