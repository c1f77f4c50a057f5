// A library file with the access library's name that exports only client registration (and
// refuses it) and the elapsed-time query the logger reads: the loader must still keep the
// module, and every other function is found missing when it is first called.
#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) int32_t RegisterClient(int32_t) { return 0; }
__attribute__((visibility("default"))) int32_t DeRegisterClient(int32_t) { return 0; }
__attribute__((visibility("default"))) int32_t QueryElapsedTimeMsLongInt(const int64_t*) { return 0; }
}
