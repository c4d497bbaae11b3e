#pragma once
#include <windows.h>

#include <string>

namespace kesto {

// Owns the work folder: a new numbered folder "QzEXFnnnn" under the temporary
// path, deleted with everything in it on destruction, or a given folder that
// is used (made if missing) and kept. A deletion that leaves something behind
// (a file held for a moment) is tried again for under a second; whatever is
// still left then is registered for deletion at the next restart, and that is
// logged. Links inside the folder are
// removed or registered themselves; what they point at is never touched.
class CTempFolder {
public:
    CTempFolder() = default;
    virtual ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    // folder null or empty: a new numbered folder under the temporary path.
    // Returns 1 on success, and the full path is then Path().
    BOOL Create(int deleteOnDestroy, const wchar_t* folder);
    const std::wstring& Path() const { return path_; }

private:
    BOOL CreateGiven(const wchar_t* folder);
    BOOL CreateNumbered();
    void Delete();
    void DeleteAtRestart();
    static void DeleteTreeAtRestart(const std::wstring& folder);

    std::wstring path_;
    int deleteOnDestroy_ = 0;
};

}  // namespace kesto
