# Fails unless THIRD_PARTY_NOTICES.md carries the licence text of the Breakpad package the
# library is built from, unchanged. -DNOTICES=<file> -DLICENSE=<package's LICENSE>
file(READ "${NOTICES}" notices)
file(READ "${LICENSE}" license)
string(FIND "${notices}" "${license}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${NOTICES} does not carry the text of ${LICENSE}")
endif()
