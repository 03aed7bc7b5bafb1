#include "Tests/Isolation.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace isolation {

bool available() {
    static const bool possible = [] {
        return geteuid() == 0 && inChild([] { return enterPrivateShm() ? "yes" : "no"; }) == "yes";
    }();
    return possible;
}

bool enterPrivateShm() {
    return geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("kri-test-shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

std::string consoleEventFile(const std::string& name) {
    return "/dev/shm/kriatmnsvc-" + std::to_string(geteuid()) + "/" + name;
}

std::string inChild(const std::function<std::string()>& body) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return std::string("no pipe: ") + std::strerror(errno);
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        const std::string text = body();
        const ssize_t written = write(pipeEnds[1], text.data(), text.size());
        _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(pipeEnds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeEnds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return "child ended abnormally: not started";
    }
    if (WIFSIGNALED(status)) {
        return "child ended abnormally: signal " + std::to_string(WTERMSIG(status));
    }
    return text;
}

bool becomeNobody() {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) {
        return false;
    }
    umask(0);
    return setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0;
}

}  // namespace isolation
