// The limits that bind when thousands of programs run at once, and what
// holm-fleet asks of the machine besides.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace plat {

namespace {

// The "Uid:" (real) and "Threads:" lines of one process's status.
bool task_counts(const char* pid, long* uid, long* threads) {
    std::ifstream status(std::string("/proc/") + pid + "/status");
    std::string line;
    *uid = -1;
    *threads = 0;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) == 0) *uid = std::strtol(line.c_str() + 4, nullptr, 10);
        if (line.rfind("Threads:", 0) == 0) *threads = std::strtol(line.c_str() + 8, nullptr, 10);
    }
    return *uid != -1;
}

}  // namespace

bool is_superuser() { return getuid() == 0; }

long user_tasks() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    long mine = 0;
    long me = static_cast<long>(getuid());
    while (dirent* entry = readdir(proc)) {
        long uid = 0;
        long threads = 0;
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && task_counts(entry->d_name, &uid, &threads) &&
            uid == me)
            mine += threads;
    }
    closedir(proc);
    return mine;
}

long system_tasks() {
    // The fourth field of loadavg: running/existing scheduling entities.
    std::ifstream loadavg("/proc/loadavg");
    std::string a, b, c, tasks;
    if (!(loadavg >> a >> b >> c >> tasks)) return -1;
    std::size_t slash = tasks.find('/');
    return slash == std::string::npos ? -1 : std::strtol(tasks.c_str() + slash + 1, nullptr, 10);
}

long process_id_limit() {
    std::ifstream file("/proc/sys/kernel/pid_max");
    long limit = -1;
    return file >> limit ? limit : -1;
}

namespace {

// A number of a cgroup file ("max" for none), or -1.
long cgroup_number(const std::string& path) {
    std::ifstream file(path);
    std::string word;
    if (!(file >> word) || word == "max") return -1;
    return std::strtol(word.c_str(), nullptr, 10);
}

// The path of this process's cgroup in the unified hierarchy ("0::/a/b").
std::string own_cgroup() {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line))
        if (line.rfind("0::", 0) == 0) return line.substr(3);
    return std::string();
}

}  // namespace

long cgroup_task_room() {
    std::string group = own_cgroup();
    if (group.empty()) return unlimited;
    long room = unlimited;
    // Every cgroup on the way up limits the tasks under it.
    for (std::string at = group;;) {
        std::string folder = "/sys/fs/cgroup" + (at == "/" ? std::string() : at);
        long most = cgroup_number(folder + "/pids.max");
        long now = cgroup_number(folder + "/pids.current");
        if (most >= 0 && now >= 0 && (room == unlimited || most - now < room)) room = std::max(0L, most - now);
        if (at == "/" || at.empty()) break;
        std::size_t slash = at.rfind('/');
        at = slash == 0 || slash == std::string::npos ? "/" : at.substr(0, slash);
    }
    return room;
}

bool stderr_is_terminal() { return isatty(2) == 1; }

std::string host_name() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

int make_private_folder(const std::string& base, std::string* path) {
    std::string pattern = base + "/holm-fleet.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return errno;
    *path = pattern;
    return 0;
}

bool is_noexec(const std::string& path) {
    struct statvfs info{};
    return statvfs(path.c_str(), &info) == 0 && (info.f_flag & ST_NOEXEC) != 0;
}

}  // namespace plat
