#!/bin/sh
# Every text of the window and the console has its finished English translation: lupdate run over
# the code changes nothing in the translator's file, nothing in it is unfinished, and each
# translation has the same %1 ... %9 as its text (a missing one would drop an address, an extra
# one show as written).
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
python3 - "$ts" <<'EOF'
import re, sys
import xml.etree.ElementTree as ET
bad = 0
for message in ET.parse(sys.argv[1]).getroot().iter("message"):
    source = message.findtext("source", "")
    text = message.findtext("translation", "")
    if sorted(re.findall(r"%[1-9]", source)) != sorted(re.findall(r"%[1-9]", text)):
        print("markers differ: %r -> %r" % (source, text), file=sys.stderr)
        bad = 1
sys.exit(bad)
EOF
