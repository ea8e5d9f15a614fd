#include "diag/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

std::mutex log_mutex;
std::string log_path;
int log_fd = -1;

int open_for_append(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

std::string timestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03lldZ ", millis);
    return text;
}

}  // namespace

std::string open_log_file(const std::string& path)
{
    const int fd = open_for_append(path);
    if (fd < 0) return "Cannot open the log file " + path + " (" + std::strerror(errno) + ")";
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_fd >= 0) ::close(log_fd);
    log_fd = fd;
    log_path = path;
    return "";
}

bool reopen_log_file()
{
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_fd < 0) return false;
    const int fd = open_for_append(log_path);
    if (fd < 0) return false;
    ::close(log_fd);
    log_fd = fd;
    return true;
}

void log_to_file(const std::string& text)
{
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_fd < 0) return;
    const std::string time = timestamp();
    std::string lines;
    for (size_t begin = 0; begin < text.size();) {
        const size_t end = std::min(text.find('\n', begin), text.size());
        if (end > begin) lines += time + text.substr(begin, end - begin) + '\n';
        begin = end + 1;
    }
    // A full disk or a lost file must not stop the miner: the console still has the line.
    for (size_t written = 0; written < lines.size();) {
        const ssize_t n = ::write(log_fd, lines.data() + written, lines.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<size_t>(n);
    }
}
