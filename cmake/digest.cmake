# Writes FILE.sha256 beside FILE: its SHA-256 and its name, as `sha256sum FILE`
# run in its folder writes them (`sha256sum -c` checks it there).
#   cmake -DFILE=path/to/quorv_train.mexa64 -P digest.cmake
file(SHA256 "${FILE}" digest)
get_filename_component(name "${FILE}" NAME)
file(WRITE "${FILE}.sha256.tmp" "${digest}  ${name}\n")
file(RENAME "${FILE}.sha256.tmp" "${FILE}.sha256")
