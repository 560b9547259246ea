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
        static std::atomic<int> s_nNext{0};
        m_path = std::filesystem::temp_directory_path() /
                 ("vxtest_" + std::to_string(pf::ProcessId()) + "_" + std::to_string(s_nNext++));
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~ScopedTempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // The narrow path of an entry, as the library's narrow interfaces take it.
    std::string Narrow(const std::string& strName = std::string()) const {
        return strName.empty() ? m_path.string() : (m_path / strName).string();
    }

    void WriteFile(const std::string& strName, const std::string& strBytes) const {
        std::ofstream out(m_path / strName, std::ios::binary | std::ios::trunc);
        out.write(strBytes.data(), std::streamsize(strBytes.size()));
    }
    std::string ReadFile(const std::filesystem::path& path) const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path m_path;
};

#endif
