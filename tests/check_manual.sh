#!/usr/bin/env bash
# The built manual is a PDF whose text can be read back (Qt writes a PDF
# without text when it has no font).
set -euo pipefail
pdf=$1 version=$2
command -v pdftotext >/dev/null || { echo "pdftotext not installed"; exit 77; }
text=$(pdftotext "$pdf" -)
for phrase in "User's Manual" "Version $version" "Exit status" "RX4410R" "Troubleshooting" "TARVEL_PORT" "Gain in dB"; do
  grep -qF "$phrase" <<<"$text" || { echo "the manual lacks: $phrase"; exit 1; }
done
echo "UsersManual.PDF holds $(wc -w <<<"$text") words"
