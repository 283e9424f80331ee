#include "dir_listing.h"

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#endif

#if defined(_WIN32)
const char kPathSeparator = '\\';

void make_directory(const char *path) { (void)_mkdir(path); }

bool list_directory(const char *dir, std::vector<dir_entry> *entries) {
    const std::string pattern = std::string(dir) + "\\*.*";
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA(pattern.c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) return false;
    do {
        entries->push_back({found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
    return true;
}
#else
const char kPathSeparator = '/';

void make_directory(const char *path) { (void)mkdir(path, 0777); }

bool list_directory(const char *dir, std::vector<dir_entry> *entries) {
    DIR *listing = opendir(dir);
    if (!listing) return false;
    while (const struct dirent *entry = readdir(listing)) {
        const std::string name = entry->d_name;
        bool is_directory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st;
            is_directory = stat(join_path(dir, name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        entries->push_back({name, is_directory});
    }
    closedir(listing);
    std::sort(entries->begin(), entries->end(),
              [](const dir_entry &a, const dir_entry &b) { return a.name < b.name; });
    return true;
}
#endif

std::string join_path(const char *dir, const std::string &name) { return std::string(dir) + kPathSeparator + name; }
