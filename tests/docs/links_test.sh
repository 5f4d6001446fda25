#!/bin/bash
# The user documents lead nowhere wrong: every relative Markdown link in
# README.md, docs/*.md and package/INSTALL.txt names a file that exists and,
# with an #anchor, a heading there that makes that anchor; and the application
# manifest shown in docs/install.md asks for the assembly version the build
# writes (VERSION with a fourth part, .0).
# Usage: links_test.sh SOURCE_DIR
set -u
cd "${1:?usage: links_test.sh SOURCE_DIR}" || exit 1
export LC_ALL=C
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A file's heading anchors as the repository's web view makes them: lower
# case, punctuation other than '-' and '_' dropped, each space a '-', and a
# repeated heading's anchor followed by -1, -2, ...
anchors() {
  awk '/^ *```/ { fence = !fence; next }
       !fence && /^#+ / {
         h = tolower($0); sub(/^#+ +/, "", h); sub(/ +#* *$/, "", h)
         gsub(/[^a-z0-9 _-]/, "", h); gsub(/ /, "-", h)
         n = seen[h]++; print (n ? h "-" n : h) }' "$1"
}

# Each link's target, outside code blocks and code spans, one per line.
links() {
  awk '/^ *```/ { fence = !fence; next }
       !fence { line = $0; gsub(/`[^`]*`/, "", line)
         while (match(line, /\]\([^) ]+\)/)) {
           print substr(line, RSTART + 2, RLENGTH - 3); line = substr(line, RSTART + RLENGTH) } }' "$1"
}

for doc in README.md docs/*.md package/INSTALL.txt; do
  while read -r target; do
    case $target in *://* | mailto:*) continue ;; esac
    path=${target%%#*}
    anchor=; [[ $target == *#* ]] && anchor=${target#*#}
    file=$doc; [[ -n $path ]] && file=$(dirname "$doc")/$path
    if [[ ! -e $file ]]; then fail "$doc: $target: no file $file"; continue; fi
    if [[ -n $anchor ]] && ! anchors "$file" | grep -qxF -- "$anchor"; then
      fail "$doc: $target: no heading in $file makes #$anchor"
    fi
  done < <(links "$doc")
done

want="$(head -n1 VERSION | tr -d '[:space:]').0"
shown=$(sed -n 's/.*name="Vemblaric" version="\([^"]*\)".*/\1/p' docs/install.md)
[[ -n $shown ]] || fail "docs/install.md: no manifest naming the assembly Vemblaric"
for v in $shown; do
  [[ $v == "$want" ]] || fail "docs/install.md: the manifest asks for version $v; the build writes $want"
done

echo "$failures failure(s)"
[[ $failures -eq 0 ]]
