// The cabinet interface on libgcab (GIO streams, GObject references). The
// cabinet goes straight into the launcher file through a stream of our own:
// libgcab writes each data block with one g_output_stream_write() and takes
// a short count for success, so the stream it writes to must always take
// every byte it is given (a GBufferedOutputStream does not: it returns a
// short count when its buffer fills, and the bytes beyond it were lost).
#include <fcntl.h>
#include <libgcab.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>
#include <sys/stat.h>

#include "cabinet/cabinet.h"
#include "payload/little_endian.h"
#include "payload/package_format.h"

namespace {

// Writes bytes complemented at positions relative to the payload's start,
// gathering contiguous writes in a buffer: libgcab writes its tables a few
// bytes at a time.
class PayloadWriter {
public:
    PayloadWriter(int file, uint64_t base) : file_(file), base_(base) { buffer_.reserve(kBuffer); }
    // libgcab writes the data blocks one after the other from firstBlock on,
    // each an 8-byte header (checksum, packed and unpacked sizes) and its
    // data; packed is told each block's unpacked bytes as it passes.
    void WatchBlocks(uint64_t firstBlock, const kesto::pack::PackedBytes& packed) {
        nextBlock_ = firstBlock;
        packed_ = packed;
    }
    bool Write(const unsigned char* bytes, size_t size) {
        if (packed_) Watch(bytes, size);
        if (position_ != bufferStart_ + buffer_.size() || buffer_.size() + size > kBuffer) {
            if (!Flush()) return false;
            bufferStart_ = position_;
        }
        for (size_t done = 0; done < size;) {  // a write larger than the buffer goes through it in pieces
            size_t piece = std::min(size - done, kBuffer - buffer_.size());
            size_t at = buffer_.size();
            buffer_.insert(buffer_.end(), bytes + done, bytes + done + piece);
            kesto::Complement(buffer_.data() + at, piece);
            done += piece;
            if (buffer_.size() == kBuffer && !Flush()) return false;
        }
        position_ += size;
        end_ = std::max(end_, position_);
        return true;
    }
    bool Flush() {
        for (size_t done = 0; done < buffer_.size();) {
            ssize_t written = ::pwrite(file_, buffer_.data() + done, buffer_.size() - done, off_t(base_ + bufferStart_ + done));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            done += size_t(written);
        }
        bufferStart_ += buffer_.size();
        buffer_.clear();
        return true;
    }
    uint64_t position_ = 0;
    uint64_t end_ = 0;

private:
    void Watch(const unsigned char* bytes, size_t size) {
        const uint64_t end = position_ + size;
        while (nextBlock_ < end && nextBlock_ + kBlockHeader > position_) {
            for (uint64_t at = std::max(nextBlock_, position_); at < std::min(nextBlock_ + kBlockHeader, end); ++at)
                header_[at - nextBlock_] = bytes[at - position_];
            if (nextBlock_ + kBlockHeader > end) return;  // the rest of the header comes with the next write
            packed_(kesto::ReadLe16(header_ + 6));
            nextBlock_ += kBlockHeader + kesto::ReadLe16(header_ + 4);
        }
    }

    static constexpr size_t kBuffer = 1 << 20;
    static constexpr size_t kBlockHeader = kesto::pack::CabinetFormat::kBlockHeader;
    kesto::pack::PackedBytes packed_;
    uint64_t nextBlock_ = 0;
    unsigned char header_[kBlockHeader] = {};
    int file_;
    uint64_t base_;
    uint64_t bufferStart_ = 0;
    std::vector<unsigned char> buffer_;
};

// Reads bytes restored from the payload, for libgcab's listing.
struct PayloadReader {
    int file;
    uint64_t base, size;
    uint64_t position = 0;
};

gboolean Seek(uint64_t& position, uint64_t end, goffset offset, GSeekType type, GError** error) {
    goffset from = type == G_SEEK_CUR ? goffset(position) : type == G_SEEK_END ? goffset(end) : 0;
    if (from + offset < 0) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "seek before the payload's start");
        return FALSE;
    }
    position = uint64_t(from + offset);
    return TRUE;
}

gboolean NoTruncate(GSeekable*, goffset, GCancellable*, GError** error) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "a payload is not truncated");
    return FALSE;
}

}  // namespace

extern "C" {

typedef struct {
    GOutputStream parent;
    PayloadWriter* writer;
} KestoPayloadOutput;
typedef struct {
    GOutputStreamClass parent;
} KestoPayloadOutputClass;

static void kesto_payload_output_seekable_init(GSeekableIface* iface);
G_DEFINE_TYPE_WITH_CODE(KestoPayloadOutput, kesto_payload_output, G_TYPE_OUTPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_SEEKABLE, kesto_payload_output_seekable_init))

static PayloadWriter& WriterOf(gpointer stream) { return *reinterpret_cast<KestoPayloadOutput*>(stream)->writer; }

static gssize kesto_payload_output_write(GOutputStream* stream, const void* bytes, gsize size, GCancellable*, GError** error) {
    if (!WriterOf(stream).Write(static_cast<const unsigned char*>(bytes), size)) {
        int code = errno;
        g_set_error(error, G_IO_ERROR, g_io_error_from_errno(code), "%s", std::strerror(code));
        return -1;
    }
    return gssize(size);  // always the whole count
}
static gboolean kesto_payload_output_flush(GOutputStream* stream, GCancellable*, GError** error) {
    if (WriterOf(stream).Flush()) return TRUE;
    int code = errno;
    g_set_error(error, G_IO_ERROR, g_io_error_from_errno(code), "%s", std::strerror(code));
    return FALSE;
}
static gboolean kesto_payload_output_close(GOutputStream* stream, GCancellable* cancellable, GError** error) {
    return kesto_payload_output_flush(stream, cancellable, error);
}
static void kesto_payload_output_class_init(KestoPayloadOutputClass* type) {
    GOutputStreamClass* stream = G_OUTPUT_STREAM_CLASS(type);
    stream->write_fn = kesto_payload_output_write;
    stream->flush = kesto_payload_output_flush;
    stream->close_fn = kesto_payload_output_close;
}
static void kesto_payload_output_init(KestoPayloadOutput*) {}

static goffset kesto_payload_output_tell(GSeekable* stream) { return goffset(WriterOf(stream).position_); }
static gboolean kesto_payload_output_can_seek(GSeekable*) { return TRUE; }
static gboolean kesto_payload_output_seek(GSeekable* stream, goffset offset, GSeekType type, GCancellable*, GError** error) {
    PayloadWriter& writer = WriterOf(stream);
    return Seek(writer.position_, writer.end_, offset, type, error);
}
static gboolean kesto_payload_output_can_truncate(GSeekable*) { return FALSE; }
static void kesto_payload_output_seekable_init(GSeekableIface* iface) {
    iface->tell = kesto_payload_output_tell;
    iface->can_seek = kesto_payload_output_can_seek;
    iface->seek = kesto_payload_output_seek;
    iface->can_truncate = kesto_payload_output_can_truncate;
    iface->truncate_fn = NoTruncate;
}

typedef struct {
    GInputStream parent;
    PayloadReader* reader;
} KestoPayloadInput;
typedef struct {
    GInputStreamClass parent;
} KestoPayloadInputClass;

static void kesto_payload_input_seekable_init(GSeekableIface* iface);
G_DEFINE_TYPE_WITH_CODE(KestoPayloadInput, kesto_payload_input, G_TYPE_INPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_SEEKABLE, kesto_payload_input_seekable_init))

static PayloadReader& ReaderOf(gpointer stream) { return *reinterpret_cast<KestoPayloadInput*>(stream)->reader; }

static gssize kesto_payload_input_read(GInputStream* stream, void* bytes, gsize size, GCancellable*, GError** error) {
    PayloadReader& reader = ReaderOf(stream);
    if (reader.position >= reader.size) return 0;
    size = gsize(std::min<uint64_t>(size, reader.size - reader.position));
    ssize_t done;
    do {
        done = ::pread(reader.file, bytes, size, off_t(reader.base + reader.position));
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
        int code = errno;
        g_set_error(error, G_IO_ERROR, g_io_error_from_errno(code), "%s", std::strerror(code));
        return -1;
    }
    kesto::Complement(static_cast<unsigned char*>(bytes), size_t(done));
    reader.position += uint64_t(done);
    return done;
}
static void kesto_payload_input_class_init(KestoPayloadInputClass* type) {
    G_INPUT_STREAM_CLASS(type)->read_fn = kesto_payload_input_read;
}
static void kesto_payload_input_init(KestoPayloadInput*) {}

static goffset kesto_payload_input_tell(GSeekable* stream) { return goffset(ReaderOf(stream).position); }
static gboolean kesto_payload_input_seek(GSeekable* stream, goffset offset, GSeekType type, GCancellable*, GError** error) {
    PayloadReader& reader = ReaderOf(stream);
    return Seek(reader.position, reader.size, offset, type, error);
}
static void kesto_payload_input_seekable_init(GSeekableIface* iface) {
    iface->tell = kesto_payload_input_tell;
    iface->can_seek = kesto_payload_output_can_seek;
    iface->seek = kesto_payload_input_seek;
    iface->can_truncate = kesto_payload_output_can_truncate;
    iface->truncate_fn = NoTruncate;
}

}  // extern "C"

namespace kesto::pack {

namespace {

// Owners for the GLib objects used here.
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Object = std::unique_ptr<T, ObjectUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

// "what: the library's message", and frees the error.
std::string Problem(const std::string& what, GError* error) {
    std::unique_ptr<GError, ErrorFree> owned(error);
    return what + (error != nullptr ? std::string(": ") + error->message : std::string());
}

// A file descriptor, closed when it goes.
struct File {
    explicit File(int opened) : descriptor(opened) {}
    ~File() {
        if (descriptor >= 0) ::close(descriptor);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int descriptor;
};

}  // namespace

std::string WriteCabinet(const Payload& payload, const std::vector<CabinetInput>& files, bool compress,
                         const PackedBytes& packed) {
    GError* error = nullptr;
    Object<GCabFolder> folder(gcab_folder_new(compress ? GCAB_COMPRESSION_MSZIP : GCAB_COMPRESSION_NONE));
    for (const CabinetInput& input : files) {
        Object<GFile> source(g_file_new_for_path(input.source.c_str()));
        Object<GCabFile> file(gcab_file_new_with_file(input.name.c_str(), source.get()));
        // A date set before the file is added wins over the file's own time.
        std::unique_ptr<GDateTime, void (*)(GDateTime*)> time(g_date_time_new_from_unix_utc(input.mtime),
                                                              g_date_time_unref);
        gcab_file_set_date_time(file.get(), time.get());
        if (!gcab_folder_add_file(folder.get(), file.get(), FALSE, nullptr, &error))
            return Problem("cannot add " + input.source, error);
        gcab_file_set_attributes(file.get(), GCAB_FILE_ATTRIBUTE_ARCH);
    }
    Object<GCabCabinet> cabinet(gcab_cabinet_new());
    if (!gcab_cabinet_add_folder(cabinet.get(), folder.get(), &error)) return Problem("cannot make a cabinet", error);

    File file(::open(payload.file.c_str(), O_WRONLY | O_CLOEXEC));
    if (file.descriptor < 0) return "cannot write " + payload.file + ": " + std::strerror(errno);
    PayloadWriter writer(file.descriptor, payload.offset);
    if (packed) writer.WatchBlocks(FirstDataBlock(files), packed);
    Object<GOutputStream> out(G_OUTPUT_STREAM(g_object_new(kesto_payload_output_get_type(), nullptr)));
    reinterpret_cast<KestoPayloadOutput*>(out.get())->writer = &writer;
    if (!gcab_cabinet_write_simple(cabinet.get(), out.get(), nullptr, nullptr, nullptr, &error))
        return Problem("cannot write the cabinet into " + payload.file, error);
    if (!g_output_stream_close(out.get(), nullptr, &error)) return Problem("cannot write " + payload.file, error);
    return std::string();
}

std::string ListCabinet(const Payload& payload, std::vector<CabinetMember>& members) {
    File file(::open(payload.file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status = {};
    if (file.descriptor < 0 || ::fstat(file.descriptor, &status) != 0)
        return "cannot read " + payload.file + ": " + std::strerror(errno);
    const uint64_t size = uint64_t(status.st_size);
    PayloadReader reader{file.descriptor, payload.offset, size > payload.offset ? size - payload.offset : 0};
    Object<GInputStream> in(G_INPUT_STREAM(g_object_new(kesto_payload_input_get_type(), nullptr)));
    reinterpret_cast<KestoPayloadInput*>(in.get())->reader = &reader;
    GError* error = nullptr;
    Object<GCabCabinet> cabinet(gcab_cabinet_new());
    if (!gcab_cabinet_load(cabinet.get(), in.get(), nullptr, &error)) return Problem("not a readable cabinet", error);
    members.clear();
    GPtrArray* folders = gcab_cabinet_get_folders(cabinet.get());
    for (guint i = 0; i < folders->len; ++i) {
        GSList* files = gcab_folder_get_files(GCAB_FOLDER(g_ptr_array_index(folders, i)));
        for (GSList* item = files; item != nullptr; item = item->next) {
            GCabFile* entry = GCAB_FILE(item->data);
            members.push_back({gcab_file_get_name(entry), gcab_file_get_size(entry)});
        }
        g_slist_free(files);
    }
    return std::string();
}

}  // namespace kesto::pack
