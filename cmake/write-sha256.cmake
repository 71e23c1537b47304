# Writes FILE.sha256: the file's SHA-256 in hex and a newline, as sha256sum
# prints it without the name.
file(SHA256 "${FILE}" hash)
file(WRITE "${FILE}.sha256" "${hash}\n")
