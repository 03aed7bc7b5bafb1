// FileTrust: whether a file that the service takes code or settings from is safe to use, judged
// as sshd's StrictModes judges: nobody but root and this process's effective user can have
// written it or can replace it.
//
// A file is trusted when it is a regular file, it and every directory on the way to it (the
// directories above it and those that symbolic links lead through) belong to root or the
// effective user, and none of them is writable by group or others. A directory that group or
// others may write to is accepted when its sticky bit is set (as /tmp): there only the owner of
// an entry may remove or rename it, and the entry below it must still pass on its own. Symbolic
// links are followed; a link must belong to root or the effective user.
//
// Stateless; callable from any thread.
#pragma once

#include <string>

namespace platform {

// Why path is not to be trusted, naming the file or directory at fault and the reason, e.g.
// "/opt/plug/x.so is writable by group or others"; empty when it is to be trusted. A path that
// does not exist (or is empty) is not refused here when the directory it would be made in is
// writable by root and this process's user only: whoever opens it finds it missing, and only
// a trusted user could create it. Below a directory that others may write to, even a sticky one,
// another user could create it first, so it is refused. A relative path is taken from the
// current directory. With account, that account is trusted as an owner too: a check run by root
// judges the files the service writes (in directories of its own) as the service would.
std::string untrustedReason(const std::string& path, const std::string& account = "");

// As untrustedReason, for a directory the service writes its files in: the path must name a
// directory instead of a regular file.
std::string untrustedDirectoryReason(const std::string& path, const std::string& account = "");

// Whether users other than the file's owner and this process's own group may read it: other
// read permission, or group read permission for a group that is neither the effective group nor
// the primary group of account (a key of mode 0640 in the service's own group is read through
// that group on purpose, also when root looks at it).
bool readableByOthers(const std::string& path, const std::string& account = "");

}  // namespace platform
