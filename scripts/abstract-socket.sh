# Sourced by the scripts that start the daemon.
#
# abstract_name_listening NAME: true once the abstract socket NAME (without
# its leading NUL) accepts connections. /proc/net/unix lists a socket from
# its bind on, but only a listening one carries the accept flag 0x00010000
# in the Flags column.
abstract_name_listening() {
  awk -v want="@$1" '$NF == want && substr($4, 4, 1) ~ /[13579BDFbdf]/ { found = 1 } END { exit !found }' /proc/net/unix
}
