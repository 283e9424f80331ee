// The batch's view of directories, on POSIX and on Windows.
#ifndef VELMORA_DIR_LISTING_H
#define VELMORA_DIR_LISTING_H

#include <string>
#include <vector>

struct dir_entry {
    std::string name;
    bool is_directory;
};

// Creates the directory at `path` if it is missing; an existing one, or a
// failure, is left for the later writes to report.
void make_directory(const char *path);

// Every entry of `dir`, "." and ".." included; false when the listing cannot
// start. On POSIX the entries are sorted by name so that runs are repeatable,
// and whether an entry is a directory follows symbolic links; on Windows they
// come in the order the system lists them.
bool list_directory(const char *dir, std::vector<dir_entry> *entries);

// `dir` and `name` joined with the platform's separator.
std::string join_path(const char *dir, const std::string &name);

#endif
