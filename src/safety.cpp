// Safety guards, the real-time environment set-up and the library's version.
namespace KALVENT_LEGGED_SDK {

// Version text, exported for tools that inspect the library.
const char* LIB_INFO = "version:1.0.1";

}  // namespace KALVENT_LEGGED_SDK
