// A fresh folder below the system's temporary folder, removed with its
// content when the object goes out of scope.
#ifndef VX_TEST_SCOPED_TEMP_FOLDER_H
#define VX_TEST_SCOPED_TEMP_FOLDER_H

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "PfSystem.h"

class ScopedTempFolder {
public:
    ScopedTempFolder() {
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~ScopedTempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& Path() const { return m_path; }
    // The narrow path of an entry, as the library's narrow interfaces take it.
    std::string Narrow(const char* lpszName = ".") const { return (m_path / lpszName).string(); }
    static std::string ReadFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    static inline std::atomic<int> s_nNext{0};
    std::filesystem::path m_path = std::filesystem::temp_directory_path() /
                                   ("vxtest_" + std::to_string(pf::ProcessId()) + "_" + std::to_string(s_nNext++));
};

#endif
