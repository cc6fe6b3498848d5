#!/bin/sh
# Every text of the window and the console has its finished English translation: lupdate run over
# the code changes nothing in the translator's file, and nothing in it is unfinished.
set -eu
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ts="$root/broadcaster/translations/tutorlane_en.ts"
cp "$ts" "$work/en.ts"
"$root/scripts/update-translations.sh" "$work/en.ts"
if ! diff -u "$ts" "$work/en.ts"; then
    echo "texts came or went without the translations following: run" \
         "scripts/update-translations.sh and translate what it marks unfinished" >&2
    exit 1
fi
if grep -n 'type="unfinished"\|<translation></translation>\|<translation/>' "$ts"; then
    echo "unfinished translations" >&2
    exit 1
fi
