#include "safe_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Receives the producer's bytes and records the first failed write.
struct file_sink {
    FILE *f;
    bool failed;
};

void sink_write(void *context, void *data, int size) {
    auto *sink = static_cast<file_sink *>(context);
    if (sink->failed || size <= 0) return;
    if (std::fwrite(data, 1, static_cast<size_t>(size), sink->f) != static_cast<size_t>(size))
        sink->failed = true;
}

bool is_separator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\' || c == ':';
#else
    return c == '/';
#endif
}

// The directory part of a path including its trailing separator, or "" for a
// bare file name.
std::string directory_part(const std::string &path) {
    for (size_t i = path.size(); i > 0; --i) {
        if (is_separator(path[i - 1])) return path.substr(0, i);
    }
    return std::string();
}

std::string temporary_name(const std::string &target) {
    static std::atomic<unsigned> counter{0};
#if defined(_WIN32)
    long pid = static_cast<long>(_getpid());
#else
    long pid = static_cast<long>(getpid());
#endif
    return directory_part(target) + ".imgwatermark-" + std::to_string(pid) + "-" +
           std::to_string(counter.fetch_add(1)) + ".tmp";
}

// Where the bytes finally go and how: through a temporary file renamed over
// the target (regular files and new files), or straight into the target for
// devices and other special files, which cannot be replaced.
struct output_plan {
    std::string target;
    bool direct = false;
    bool keep_mode = false;
    unsigned mode = 0;
};

#if defined(_WIN32)

bool plan_output(const char *path, output_plan *plan) {
    plan->target = path;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    return true;
}

FILE *create_temporary(const output_plan &, const std::string &name) {
    int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE *f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
}

FILE *open_direct(const std::string &target) { return std::fopen(target.c_str(), "wb"); }

bool flush_to_disk(FILE *f) { return std::fflush(f) == 0 && _commit(_fileno(f)) == 0; }

bool replace_target(const std::string &temp, const std::string &target) {
    return MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

#else

// Follows symbolic links from `path` to the file they finally name, so that
// the file is replaced and the links stay. A dangling link names the file to
// create. Gives up after 40 links, leaving the path to fail as fopen would.
std::string resolve_links(const std::string &path) {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string link(4096, '\0');
        ssize_t n;
        while ((n = readlink(current.c_str(), &link[0], link.size())) >= 0 &&
               static_cast<size_t>(n) == link.size()) {
            link.resize(link.size() * 2);
        }
        if (n <= 0) return current;
        link.resize(static_cast<size_t>(n));
        current = (link[0] == '/') ? link : directory_part(current) + link;
    }
    return current;
}

bool plan_output(const char *path, output_plan *plan) {
    plan->target = resolve_links(path);
    struct stat st;
    if (stat(plan->target.c_str(), &st) != 0) return true;  // a new file
    if (S_ISDIR(st.st_mode)) return false;
    if (!S_ISREG(st.st_mode)) {
        plan->direct = true;
        return true;
    }
    plan->keep_mode = true;
    plan->mode = static_cast<unsigned>(st.st_mode & 07777);
    return true;
}

FILE *create_temporary(const output_plan &plan, const std::string &name) {
    // 0666 less the umask, as fopen gives a new file; a replaced file keeps its bits.
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    if (plan.keep_mode) (void)fchmod(fd, static_cast<mode_t>(plan.mode));
    FILE *f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

FILE *open_direct(const std::string &target) {
    // Non-blocking so that a pipe without a reader fails instead of hanging.
    int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

bool flush_to_disk(FILE *f) {
    if (std::fflush(f) != 0) return false;
    // Devices such as /dev/null cannot be synced; only regular files must be.
    return fsync(fileno(f)) == 0 || errno == EINVAL || errno == EROFS;
}

bool replace_target(const std::string &temp, const std::string &target) {
    return std::rename(temp.c_str(), target.c_str()) == 0;
}

#endif

// Produces into an open file and closes it; true only when the producer, every
// write, the flush and the close succeeded.
bool produce_and_close(FILE *f, const byte_producer &produce) {
    file_sink sink{f, false};
    bool ok = produce(sink_write, &sink) && !sink.failed;
    ok = ok && flush_to_disk(f);
    bool closed = std::fclose(f) == 0;
    return ok && closed;
}

bool write_direct(const output_plan &plan, const byte_producer &produce) {
    FILE *f = open_direct(plan.target);
    return f && produce_and_close(f, produce);
}

bool write_replacing(const output_plan &plan, const byte_producer &produce) {
    std::string temp;
    FILE *f = nullptr;
    for (int attempt = 0; attempt < 100 && !f; ++attempt) {
        temp = temporary_name(plan.target);
        f = create_temporary(plan, temp);
        if (!f && errno != EEXIST) break;
    }
    if (!f) return false;
    if (produce_and_close(f, produce) && replace_target(temp, plan.target)) return true;
    std::remove(temp.c_str());
    return false;
}

}  // namespace

bool replace_file(const char *path, const byte_producer &produce) {
    output_plan plan;
    if (!path || !plan_output(path, &plan)) return false;
    return plan.direct ? write_direct(plan, produce) : write_replacing(plan, produce);
}
