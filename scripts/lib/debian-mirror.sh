# Sourced by the scripts that fetch Debian packages: debian_mirror prints the
# URI through which this machine's apt reaches Debian's bookworm suite, so
# that other suites come by the same mirror (and any proxy set up for it).
debian_mirror() {
  local uri f
  uri=$(
    {
      sed -e 's/#.*//' -e 's/\[[^]]*\]//' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" && $3 == "bookworm" { print $2 }'
      for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] && { sed -e '/^[[:space:]]*#/d' "$f"; echo; }
      done | awk 'BEGIN { RS = "" }
        / bookworm( |\n|$)/ && /Types:[^\n]*deb( |\n|$)/ && !/Enabled: *no/ {
          if (match($0, /URIs:[ \t]*[^ \t\n]+/)) { u = substr($0, RSTART, RLENGTH); sub(/URIs:[ \t]*/, "", u); print u }
        }'
    } | sed -n 1p
  ) || true
  echo "${uri:-http://deb.debian.org/debian}"
}
