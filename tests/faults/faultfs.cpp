// A one-directory FUSE filesystem that behaves like a hwmon device whose bus is failing: chosen
// attributes fail their reads with a given errno, or block before answering. The fault tests mount
// it over a fake board's device directory inside their private mount namespace.
//
// Usage: vpm_faultfs MOUNTPOINT LAYOUT_FILE
// LAYOUT_FILE lines (one attribute each):
//   file NAME TEXT...            readable and writable; holds TEXT and a newline
//   error NAME EIO|ENODATA|EAGAIN  opens, but every read fails with that errno
//   slow NAME MS NTH TEXT...     like file, but read number NTH (1-based; 0 = every read) waits MS first
// Standard output gets "ready" once mounted, and "slow-begin NAME" / "slow-end NAME" around each
// delayed read, so a test can tell exactly when the daemon is blocked.

#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

enum class attribute_kind { file, error, slow };

struct attribute {
    attribute_kind kind = attribute_kind::file;
    std::string text;
    int error = 0;
    int delay_ms = 0;
    int slow_read = 0; // which read is delayed; 0 = all of them
    int reads = 0;
};

std::mutex lock;
std::map<std::string, attribute> attributes;

void say(const std::string &line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int errno_by_name(const std::string &name) {
    if (name == "EIO") {
        return EIO;
    }
    if (name == "ENODATA") {
        return ENODATA;
    }
    if (name == "EAGAIN") {
        return EAGAIN;
    }
    return 0;
}

std::string rest_of_line(std::istringstream &in) {
    std::string text;
    std::getline(in, text);
    if (!text.empty() && text.front() == ' ') {
        text.erase(0, 1);
    }
    return text + "\n";
}

bool load_layout(const char *path) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        std::string name;
        if (!(words >> kind >> name)) {
            continue;
        }
        attribute a;
        if (kind == "file") {
            a.text = rest_of_line(words);
        } else if (kind == "error") {
            std::string code;
            words >> code;
            a.kind = attribute_kind::error;
            a.error = errno_by_name(code);
            if (a.error == 0) {
                return false;
            }
        } else if (kind == "slow") {
            a.kind = attribute_kind::slow;
            if (!(words >> a.delay_ms >> a.slow_read)) {
                return false;
            }
            a.text = rest_of_line(words);
        } else {
            return false;
        }
        attributes[name] = a;
    }
    return true;
}

attribute *find(const char *path) {
    if (path[0] != '/') {
        return nullptr;
    }
    auto it = attributes.find(path + 1);
    return it == attributes.end() ? nullptr : &it->second;
}

void *fs_init(fuse_conn_info * /*conn*/, fuse_config *cfg) {
    // Every read reaches us, as with a real sysfs attribute: nothing is cached by the kernel.
    cfg->direct_io = 1;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    say("ready");
    return nullptr;
}

int fs_getattr(const char *path, struct stat *st, fuse_file_info * /*fi*/) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    std::lock_guard<std::mutex> guard(lock);
    const attribute *a = find(path);
    if (a == nullptr) {
        return -ENOENT;
    }
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = 4096; // sysfs attributes report a page
    return 0;
}

int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t /*offset*/, fuse_file_info * /*fi*/,
               fuse_readdir_flags /*flags*/) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    std::lock_guard<std::mutex> guard(lock);
    for (const auto &[name, a] : attributes) {
        fill(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

int fs_open(const char *path, fuse_file_info *fi) {
    std::lock_guard<std::mutex> guard(lock);
    attribute *a = find(path);
    if (a == nullptr) {
        return -ENOENT;
    }
    if ((fi->flags & O_TRUNC) != 0 && a->kind != attribute_kind::error) {
        a->text.clear();
    }
    fi->direct_io = 1;
    return 0;
}

int fs_truncate(const char *path, off_t size, fuse_file_info * /*fi*/) {
    std::lock_guard<std::mutex> guard(lock);
    attribute *a = find(path);
    if (a == nullptr) {
        return -ENOENT;
    }
    a->text.resize(static_cast<std::size_t>(size));
    return 0;
}

int fs_read(const char *path, char *buf, size_t size, off_t offset, fuse_file_info * /*fi*/) {
    std::string name;
    std::string text;
    int delay_ms = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        attribute *a = find(path);
        if (a == nullptr) {
            return -ENOENT;
        }
        if (a->kind == attribute_kind::error) {
            return -a->error;
        }
        if (offset == 0) {
            ++a->reads;
            if (a->kind == attribute_kind::slow && (a->slow_read == 0 || a->slow_read == a->reads)) {
                delay_ms = a->delay_ms;
            }
        }
        name = path + 1;
        text = a->text;
    }
    if (delay_ms > 0) {
        say("slow-begin " + name);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        say("slow-end " + name);
    }
    if (offset < 0 || static_cast<std::size_t>(offset) >= text.size()) {
        return 0;
    }
    const std::size_t n = std::min(size, text.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, text.data() + offset, n);
    return static_cast<int>(n);
}

int fs_write(const char *path, const char *buf, size_t size, off_t offset, fuse_file_info * /*fi*/) {
    std::lock_guard<std::mutex> guard(lock);
    attribute *a = find(path);
    if (a == nullptr) {
        return -ENOENT;
    }
    if (a->kind == attribute_kind::error) {
        return -a->error;
    }
    const auto end = static_cast<std::size_t>(offset) + size;
    if (a->text.size() < end) {
        a->text.resize(end);
    }
    a->text.replace(static_cast<std::size_t>(offset), size, buf, size);
    return static_cast<int>(size);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MOUNTPOINT LAYOUT_FILE\n", argv[0]);
        return 2;
    }
    if (!load_layout(argv[2])) {
        std::fprintf(stderr, "%s: bad layout file %s\n", argv[0], argv[2]);
        return 2;
    }
    fuse_operations ops{};
    ops.init = fs_init;
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.truncate = fs_truncate;
    ops.read = fs_read;
    ops.write = fs_write;
    // Foreground and single-threaded: requests are answered one at a time, in order.
    char foreground[] = "-f";
    char single[] = "-s";
    char *fuse_argv[] = {argv[0], foreground, single, argv[1], nullptr};
    return fuse_main(4, fuse_argv, &ops, nullptr);
}
