# Writes OUTPUT, a C++ source whose netp::pipeline::FUNCTION() returns the bytes of OBJECT.
file(READ ${OBJECT} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
       bytes "${bytes}")
file(WRITE ${OUTPUT}
  "// Generated from ${OBJECT} at build time.\n"
  "#include <cstdint>\n#include <span>\n\n"
  "namespace netp::pipeline {\n\n"
  "std::span<const uint8_t> ${FUNCTION}();\n\n"
  "namespace {\nalignas(8) const uint8_t kBytes[] = {\n${bytes}\n};\n}  // namespace\n\n"
  "std::span<const uint8_t> ${FUNCTION}() {\n    return kBytes;\n}\n\n"
  "}  // namespace netp::pipeline\n")
