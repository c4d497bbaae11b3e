// The cabinet interface on libgcab (GIO streams, GObject references).
#include <libgcab.h>

#include <memory>

#include "cabinet.h"

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

// Loads a cabinet; the stream stays referenced by the cabinet.
std::string Load(const std::string& path, Object<GCabCabinet>& cabinet) {
    GError* error = nullptr;
    Object<GFile> file(g_file_new_for_path(path.c_str()));
    Object<GFileInputStream> in(g_file_read(file.get(), nullptr, &error));
    if (!in) return Problem("cannot read " + path, error);
    cabinet.reset(gcab_cabinet_new());
    if (!gcab_cabinet_load(cabinet.get(), G_INPUT_STREAM(in.get()), nullptr, &error))
        return Problem("not a readable cabinet", error);
    return std::string();
}

}  // namespace

std::string WriteCabinet(const std::string& path, const std::vector<CabinetInput>& files, bool compress) {
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

    Object<GFile> out(g_file_new_for_path(path.c_str()));
    Object<GFileOutputStream> stream(
        g_file_replace(out.get(), nullptr, FALSE, G_FILE_CREATE_REPLACE_DESTINATION, nullptr, &error));
    if (!stream) return Problem("cannot write " + path, error);
    // libgcab reads each file whole in 32 KiB blocks; a buffer in front of the
    // file stream keeps its many small header writes from becoming system calls.
    Object<GOutputStream> buffered(g_buffered_output_stream_new_sized(G_OUTPUT_STREAM(stream.get()), 1 << 20));
    if (!gcab_cabinet_write_simple(cabinet.get(), buffered.get(), nullptr, nullptr, nullptr, &error))
        return Problem("cannot write the cabinet " + path, error);
    if (!g_output_stream_close(buffered.get(), nullptr, &error)) return Problem("cannot write " + path, error);
    return std::string();
}

std::string ListCabinet(const std::string& path, std::vector<CabinetMember>& members) {
    Object<GCabCabinet> cabinet;
    std::string problem = Load(path, cabinet);
    if (!problem.empty()) return problem;
    members.clear();
    GPtrArray* folders = gcab_cabinet_get_folders(cabinet.get());
    for (guint i = 0; i < folders->len; ++i) {
        GSList* files = gcab_folder_get_files(GCAB_FOLDER(g_ptr_array_index(folders, i)));
        for (GSList* item = files; item != nullptr; item = item->next) {
            GCabFile* file = GCAB_FILE(item->data);
            members.push_back({gcab_file_get_name(file), gcab_file_get_size(file)});
        }
        g_slist_free(files);
    }
    return std::string();
}

std::string ExpandCabinet(const std::string& path, const std::string& destination) {
    Object<GCabCabinet> cabinet;
    std::string problem = Load(path, cabinet);
    if (!problem.empty()) return problem;
    GError* error = nullptr;
    Object<GFile> folder(g_file_new_for_path(destination.c_str()));
    if (!gcab_cabinet_extract_simple(cabinet.get(), folder.get(), nullptr, nullptr, nullptr, &error))
        return Problem("cannot unpack", error);
    return std::string();
}

}  // namespace kesto::pack
