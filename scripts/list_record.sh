# Shell helper, sourced: appends one 223-byte record of the launch list to a file.
#   write_record FILE NAME PATH ENABLED
# NAME at most 20 bytes, PATH at most 200; ENABLED the byte stored (1 = launched).

write_record() {
  local LC_ALL=C # lengths in bytes
  local file=$1 name=$2 path=$3 enabled=$4
  ((${#name} <= 20 && ${#path} <= 200)) || return 1
  {
    printf "\\x$(printf %02x "${#name}")"
    printf '%s' "$name"
    head -c $((20 - ${#name})) /dev/zero
    printf "\\x$(printf %02x "${#path}")"
    printf '%s' "$path"
    head -c $((200 - ${#path})) /dev/zero
    printf "\\x$(printf %02x "$enabled")"
  } >>"$file"
}
