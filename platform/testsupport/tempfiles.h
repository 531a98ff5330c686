// Private temporary directories, whole-file reads and the bundled samples,
// for tests that work on real files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <stdlib.h>

namespace qvtest {

using Bytes = std::vector<std::uint8_t>;

// A directory of its own under the system's temporary directory (or under
// `base`), removed with everything in it when the object goes.
class TempDir
{
public:
    explicit TempDir(const char* prefix = "qvtest",
                     const std::filesystem::path& base = std::filesystem::temp_directory_path())
    {
        std::string pattern = (base / (std::string(prefix) + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Valid() const { return !m_path.empty(); }
    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }
    std::string Write(const std::string& name, const Bytes& bytes) const
    {
        const std::filesystem::path file = m_path / name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return file.string();
    }

private:
    std::filesystem::path m_path;
};

inline Bytes ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The path of a bundled sample file. CTest gives the source tree in
// QV_TEST_SOURCE_DIR; outside CTest the working directory stands in for it.
inline std::string SamplePath(const char* name)
{
    const char* root = std::getenv("QV_TEST_SOURCE_DIR");
    return (std::filesystem::path(root != nullptr ? root : ".") / "samples" / name).string();
}

} // namespace qvtest
