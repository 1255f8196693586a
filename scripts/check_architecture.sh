#!/bin/sh
# ARCHITECTURE.md is the code map, and a map that has drifted from the code
# misleads whoever reads it first. Three things in it are checked against
# the repository:
#  - every top-level folder has its row there (as `name/`), so that a new
#    folder cannot go unmentioned;
#  - the dependency graph: the fenced block under "## Dependency graph" draws
#    exactly the arrows between folders that the `#include "folder/file.h"`
#    lines of the C and C++ files make, no fewer and no more;
#  - every symbol the link wraps (`--wrap=SYMBOL` in CMakeLists.txt) is named
#    there in backquotes, because each is a seam the program's code does not
#    show.
# Besides, every relative link of the README and of doc/*.md must name a
# tracked file.
# The folders and files are those git tracks: what a build or the demo
# leaves on disk (build-*, demo-out/, dist/) is not the repository's.
#
# The graph's block, one line per folder (or per list of folders):
#   FROM ──> TO, TO, ...   (a remark, not read)
# where TO is a folder (any include of it) or one header `folder/file.h`
# (includes of that header only); `FROM ──> nothing of ours` draws no arrow
# and `FROM ──> anything` leaves FROM's includes unchecked.
set -eu
cd "$(dirname "$0")/.."
map=ARCHITECTURE.md
folders="$(git ls-files | sed -n 's|^\([^.][^/]*\)/.*|\1|p' | sort -u)"
status=0

missing=""
for name in $folders; do
  grep -q "\`$name/\`" "$map" || missing="$missing $name/"
done
if [ -n "$missing" ]; then
  echo "$map does not describe these folders:$missing" >&2
  status=1
else
  echo "$map describes every folder"
fi

# The map's block, then "path:text" for every include of a file under a
# folder ("#include "e2e_support.h"" names none and is no arrow).
if git ls-files '*.c' '*.cpp' '*.h' |
  xargs grep -HE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/[^"]*"' |
  awk -v folders="$folders" -v map="$map" '
  function trim(s) {
    sub(/^[ \t]+/, "", s)
    sub(/[ \t]+$/, "", s)
    return s
  }
  function problem(text) {
    print text | "cat >&2"
    close("cat >&2")
    failed = 1
  }
  BEGIN {
    n = split(folders, list, /[ \n]+/)
    for (i = 1; i <= n; i++) is_folder[list[i]] = 1
    arrow = "──>"
  }
  # The map, first: the fenced block under the heading.
  NR == FNR {
    if (state == 0 && /^## Dependency graph/) { state = 1; next }
    if (state == 1 && /^```/) { state = 2; next }
    if (state == 2 && /^```/) { state = 3; next }
    if (state != 2 || trim($0) == "") next
    line = $0
    if (index(line, "(") > 0) line = substr(line, 1, index(line, "(") - 1)
    a = index(line, arrow)
    if (a == 0) {
      problem(map ":" FNR ": a line of the dependency graph is not `FROM ──> TO, ...`: " $0)
      next
    }
    lhs = substr(line, 1, a - 1)
    rhs = trim(substr(line, a + length(arrow)))
    nf = split(lhs, froms, ",")
    if (rhs == "") {
      problem(map ":" FNR ": a line of the dependency graph draws no arrow (write `nothing of ours`): " $0)
      next
    }
    nt = (rhs == "nothing of ours" || rhs == "anything") ? 0 : split(rhs, tos, ",")
    for (i = 1; i <= nf; i++) {
      from = trim(froms[i])
      if (!(from in is_folder)) {
        problem(map ":" FNR ": \"" from "\" is not a folder of the repository")
        continue
      }
      if (rhs == "anything") unchecked[from] = 1
      for (j = 1; j <= nt; j++) {
        to = trim(tos[j])
        folder = to
        sub(/\/.*/, "", folder)
        if (!(folder in is_folder) || folder == from) {
          problem(map ":" FNR ": \"" to "\" is not another folder of the repository or a header in one")
          continue
        }
        drawn[from SUBSEP to] = 1
      }
    }
    next
  }
  # The includes: an arrow from the including file'"'"'s folder to the
  # included file'"'"'s, when they differ and the latter is one of ours.
  {
    path = substr($0, 1, index($0, ":") - 1)
    header = substr($0, index($0, ":") + 1)
    header = substr(header, index(header, "\"") + 1)
    header = substr(header, 1, index(header, "\"") - 1)
    from = path
    sub(/\/.*/, "", from)
    to = header
    sub(/\/.*/, "", to)
    if (to == from || !(to in is_folder) || from in unchecked) next
    if ((from SUBSEP to) in drawn) { used[from SUBSEP to] = 1; next }
    if ((from SUBSEP header) in drawn) { used[from SUBSEP header] = 1; next }
    if (!((from SUBSEP to) in undrawn))
      undrawn[from SUBSEP to] = path " includes \"" header "\""
  }
  END {
    if (state < 3) {
      problem(map " has no fenced block under \"## Dependency graph\"")
      exit 1
    }
    # Each list sorted, after its heading.
    for (k in undrawn) {
      if (!listed) problem(map "'"'"'s dependency graph lacks these arrows the code has:")
      listed = 1
      split(k, e, SUBSEP)
      print "  " e[1] " " arrow " " e[2] "   (" undrawn[k] ")" | "sort >&2"
    }
    close("sort >&2")
    listed = 0
    for (k in drawn) {
      if (k in used) continue
      if (!listed) problem(map "'"'"'s dependency graph draws these arrows the code no longer has:")
      listed = 1
      split(k, e, SUBSEP)
      print "  " e[1] " " arrow " " e[2] | "sort >&2"
    }
    close("sort >&2")
    exit failed
  }' "$map" -; then
  echo "$map draws every arrow between folders that the includes make, and no other"
else
  status=1
fi

# The wrapped symbols, with a foreach loop's variable in a name expanded
# over the loop's items (-Wl,--wrap=bcm2835_${f}). The board seam's calls,
# ${ZUL_BOARD_CALLS} there, are the rows BCM2835_CALL(NAME, ...) of
# board/bcm2835_calls.def, which CMakeLists.txt reads the same way.
board_calls="$(sed -n 's/^BCM2835_CALL(\([A-Za-z_0-9]*\),.*/\1/p' board/bcm2835_calls.def)"
wraps="$(awk -v board_calls="$board_calls" '
  {
    line = $0
    sub(/#.*/, "", line)
    if (!collecting && line ~ /^[ \t]*foreach[ \t]*\(/) {
      collecting = 1
      items = ""
      sub(/^[ \t]*foreach[ \t]*\(/, "", line)
    }
    if (collecting) {
      end = index(line, ")")
      items = items " " (end > 0 ? substr(line, 1, end - 1) : line)
      if (end > 0) {
        collecting = 0
        n = split(items, word, /[ \t]+/)
        first = (word[1] == "") ? 2 : 1
        var = word[first]
        loop[var] = ""
        for (i = first + 1; i <= n; i++) {
          if (word[i] == "${ZUL_BOARD_CALLS}") loop[var] = loop[var] " " board_calls
          else if (word[i] != "") loop[var] = loop[var] " " word[i]
        }
      }
      next
    }
    while (match(line, /--wrap=[^ \t)"]+/)) {
      symbol = substr(line, RSTART + 7, RLENGTH - 7)
      line = substr(line, RSTART + RLENGTH)
      if (match(symbol, /\$\{[A-Za-z_0-9]+\}/)) {
        var = substr(symbol, RSTART + 2, RLENGTH - 3)
        before = substr(symbol, 1, RSTART - 1)
        after = substr(symbol, RSTART + RLENGTH)
        if (var in loop) {
          n = split(loop[var], word, " ")
          for (i = 1; i <= n; i++) print before word[i] after
          continue
        }
      }
      print symbol
    }
  }' CMakeLists.txt)"
unnamed=""
for symbol in $wraps; do
  grep -qF "\`$symbol\`" "$map" || grep -qF "\`--wrap=$symbol\`" "$map" || unnamed="$unnamed $symbol"
done
if [ -n "$unnamed" ]; then
  echo "$map does not name these symbols the link wraps (--wrap= in CMakeLists.txt):$unnamed" >&2
  status=1
else
  echo "$map names every symbol the link wraps"
fi

# The README and the pages under doc/ point into each other and at the
# manual pages: a renamed or moved file must not leave a link behind.
broken="$(git ls-files README.md 'doc/*.md' | while read -r page; do
  grep -o '](\([^):#]*\)[)#]' "$page" | sed 's/^](//; s/.$//' | while read -r target; do
    [ -z "$target" ] || git ls-files --error-unmatch "$(dirname "$page")/$target" >/dev/null 2>&1 ||
      echo " $page:$target"
  done
done)"
if [ -n "$broken" ]; then
  echo "these links name no tracked file:$broken" >&2
  status=1
else
  echo "every link of the README and doc/ names a tracked file"
fi
exit "$status"
