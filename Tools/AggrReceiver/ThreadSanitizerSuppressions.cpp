// Built into the receiver only under ThreadSanitizer (KRI_SANITIZE=thread).
//
// Debian's cpp-httplib is a shared library built without the sanitizer. Its function-local
// statics (the request line's regular expression among them) are initialised by the first
// worker thread and read by the others after a check of the guard that the sanitizer cannot
// see, so it reports the first concurrent requests as races on memory that the library's
// memcpy and memcmp touch. Those calls from the library are left out; our own code, which
// the sanitizer does see, is checked as everywhere else.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
