#!/usr/bin/env bash
# Prints the Debian archive URI that the machine's apt already uses (never a
# hard-coded host): the first binary source that is not a security archive.
# Usage: apt_archive_uri.sh [APT_ETC_DIR], /etc/apt by default.
set -euo pipefail
shopt -s nullglob
etc=${1:-/etc/apt}
{
    for f in "$etc/sources.list" "$etc"/sources.list.d/*.list; do
        [ -r "$f" ] || continue
        # One-line format: deb [options] URI suite components...
        sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" {print $2, $3}'
    done
    for f in "$etc"/sources.list.d/*.sources; do
        # deb822 stanzas, separated by blank lines.
        awk 'BEGIN {RS = ""; FS = "\n"}
             {
                 types = ""; uris = ""; suites = ""; enabled = "yes"
                 for (i = 1; i <= NF; i++) {
                     line = $i; sub(/#.*/, "", line)
                     if (line ~ /^Types:/) { sub(/^Types:[ \t]*/, "", line); types = line }
                     if (line ~ /^URIs:/) { sub(/^URIs:[ \t]*/, "", line); uris = line }
                     if (line ~ /^Suites:/) { sub(/^Suites:[ \t]*/, "", line); suites = line }
                     if (line ~ /^Enabled:/) { sub(/^Enabled:[ \t]*/, "", line); enabled = tolower(line) }
                 }
                 if (enabled == "no" || (" " types " ") !~ / deb /) next
                 split(uris, u, /[ \t]+/); split(suites, s, /[ \t]+/)
                 print u[1], s[1]
             }' "$f"
    done
} | awk '$2 !~ /-security$/ && $1 !~ /security/ && $1 ~ /^(https?|file):/ {print $1; found = 1; exit}
         END {if (!found) exit 1}' | sed 's:/*$::'
