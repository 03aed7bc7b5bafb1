// Isolation: test support for what needs a process, a user or a /dev/shm of its own. A body
// runs in a forked child (optionally in a private /dev/shm: a mount namespace with a tmpfs of
// its own, or as the unprivileged user "nobody") and hands the parent a text to check. Called
// from a test's own thread; the child never returns into the test program.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace isolation {

// Whether this process may make mount namespaces and change its user (it runs as root and the
// machine allows unshare). Tests that need it skip otherwise.
bool available();

// Moves the calling process (and what it starts later) into a private /dev/shm. False when it
// could not; the process then keeps the machine's.
bool enterPrivateShm();

// Runs body in a forked child and returns its text, or "child ended abnormally: ..." when the
// child died (for example of SIGBUS) before it gave one. The child ends with _exit, so no exit
// handler of the test program runs in it.
std::string inChild(const std::function<std::string()>& body);

// The file of the named event "name" of a process of this user run outside systemd.
std::string consoleEventFile(const std::string& name);

// In a child: becomes "nobody" (its own user and group, no supplementary groups) with umask 0.
// False when it could not.
bool becomeNobody();

// Puts the whole test program into a private /dev/shm when it may, so that services it runs
// meet no other service's named events on the machine. Register it with
// ::testing::AddGlobalTestEnvironment.
class PrivateShmEnvironment : public ::testing::Environment {
public:
    void SetUp() override { enterPrivateShm(); }
};

}  // namespace isolation
