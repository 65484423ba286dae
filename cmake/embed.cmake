# Writes OUTPUT, a C++ file that holds the bytes of INPUT as the array
# NAME (NAME_size their count), so that a program carries the file as it
# stands, byte for byte. Run with cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P.
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.new" "// Made by the build from ${INPUT}; not to be edited.\n#include <cstddef>\n\n"
  "extern const unsigned char ${NAME}[];\nextern const std::size_t ${NAME}_size;\n"
  "const unsigned char ${NAME}[] = {\n${bytes}};\nconst std::size_t ${NAME}_size = ${size};\n")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
