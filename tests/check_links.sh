#!/usr/bin/env bash
# Finds broken relative links in README.md and docs/*.md: a link or image whose file is missing,
# or whose #anchor names no heading of the page it points to. Web links are not followed.
# Anchors are made from headings as GitHub makes them: lower case, punctuation dropped, spaces
# as hyphens, "-1", "-2", ... after repeated headings. Code blocks and code spans are skipped.
# usage: check_links.sh SOURCE_DIR
set -uo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root" || exit 2
shopt -s nullglob
pages=(README.md docs/*.md)

# Prints "LINK <line> <target>" for every link of a page and "ANCHOR <name>" for every heading.
scan() {
  LC_ALL=C awk '
    function slug(text,    out, i, c) {
      out = ""
      text = tolower(text)
      for (i = 1; i <= length(text); i++) {
        c = substr(text, i, 1)
        if (c == " ") out = out "-"
        else if (index("!\"#$%&'\''()*+,./:;<=>?@[\\]^`{|}~", c) == 0) out = out c
      }
      return out
    }
    /^ *(```|~~~)/ { fenced = !fenced; next }
    fenced { next }
    {
      if (match($0, /^#+ /)) {
        name = slug(substr($0, RLENGTH + 1))
        seen[name]++
        print "ANCHOR " (seen[name] > 1 ? name "-" (seen[name] - 1) : name)
      }
      line = $0
      gsub(/`[^`]*`/, "", line)  # code spans hold examples, not links
      rest = line
      while (match(rest, /\]\([^)]*\)/)) {
        target = substr(rest, RSTART + 2, RLENGTH - 3)
        sub(/[ \t].*/, "", target)  # drop a title
        print "LINK " NR " " target
        rest = substr(rest, RSTART + RLENGTH)
      }
      if (match(line, /^ *\[[^]]+\]: */)) {  # a reference definition
        target = substr(line, RLENGTH + 1)
        sub(/[ \t].*/, "", target)
        print "LINK " NR " " target
      }
    }
  ' "$1"
}

anchors_of() {
  scan "$1" | sed -n 's/^ANCHOR //p'
}

status=0
for page in "${pages[@]}"; do
  dir="$(dirname "$page")"
  while read -r kind line target; do
    [ "$kind" = LINK ] || continue
    target="${target#<}"
    target="${target%>}"
    case "$target" in
      '' | [a-zA-Z]*:*) continue ;;  # a web or mail link
    esac
    path="${target%%#*}"
    anchor=""
    [[ "$target" == *#* ]] && anchor="${target#*#}"
    file="$page"
    if [ -n "$path" ]; then
      file="$dir/$path"
      if [ ! -e "$file" ]; then
        echo "$page:$line: $target: no such file"
        status=1
        continue
      fi
    fi
    if [ -n "$anchor" ] && [[ "$file" == *.md ]] && ! anchors_of "$file" | grep -qxF -- "$anchor"; then
      echo "$page:$line: $target: no heading for #$anchor"
      status=1
    fi
  done < <(scan "$page")
done
[ "$status" -eq 0 ] && echo "${#pages[@]} pages, every relative link resolves"
exit "$status"
