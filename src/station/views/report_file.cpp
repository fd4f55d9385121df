#include "station/views/report_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/unique_fd.h"
#include "station/views/report.h"

namespace ovik::station {
namespace {

// A killed writer can leave its new file behind; a later one with the same process id takes
// the next name.
constexpr int NAME_TRIES = 100;

std::string error_text() {
    return std::strerror(errno);
}

// A new, empty file beside a path, removed again unless it was renamed into place.
class NewFile {
  public:
    explicit NewFile(const std::filesystem::path& path) {
        const std::string stem = "." + path.filename().string() + "." + std::to_string(::getpid());
        for (int n = 0; n < NAME_TRIES; ++n) {
            std::string name =
                (path.parent_path() / (stem + "-" + std::to_string(n) + ".tmp")).string();
            fd_.reset(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (fd_.valid()) {
                name_ = std::move(name);
                return;
            }
            if (errno != EEXIST) return;
        }
    }
    ~NewFile() {
        if (!name_.empty()) ::unlink(name_.c_str());
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    // Closes the file and renames it to path; false with errno set when either fails.
    bool move_to(const std::string& path) {
        if (::close(fd_.release()) != 0 || ::rename(name_.c_str(), path.c_str()) != 0) {
            return false;
        }
        name_.clear();
        return true;
    }

  private:
    UniqueFd fd_;
    std::string name_;  // "" once renamed, or when it could not be created
};

// Why path names a folder, not a file; nullopt when it does not.
std::optional<std::string> folder_at(const std::filesystem::path& path) {
    struct stat st {};
    if (path.filename().empty() || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        return std::strerror(EISDIR);
    }
    return std::nullopt;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::optional<std::string> check_replaceable(const std::string& path) {
    if (std::optional<std::string> folder = folder_at(path)) return folder;
    const NewFile file(path);
    if (!file.valid()) return error_text();
    return std::nullopt;
}

std::optional<std::string> write_file_whole(const std::string& path, std::string_view text) {
    if (std::optional<std::string> folder = folder_at(path)) return folder;
    NewFile file(path);
    if (!file.valid()) return error_text();
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && ::fchmod(file.fd(), old.st_mode & 07777) != 0) {
        return error_text();
    }
    if (!write_all(file.fd(), text) || ::fsync(file.fd()) != 0 || !file.move_to(path)) {
        return error_text();
    }
    // The new name is on disk once the folder is.
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || ::fsync(dir.get()) != 0) return error_text();
    return std::nullopt;
}

ReportFileSet report_files(const ReportFiles& paths) {
    return {ReportFile{"--json", paths.json, report_json},
            ReportFile{"--csv", paths.csv, report_csv},
            ReportFile{"--junit", paths.junit, report_junit}};
}

}  // namespace ovik::station
