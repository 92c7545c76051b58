#!/bin/sh
# Gathers the lines that the end-to-end tests left in WORK_DIR/report into
# one report, prints it and keeps it in REPORT.
#
# usage: report.sh WORK_DIR REPORT
set -eu
work=$1
report=$2
{
  echo "tapedecoder end-to-end report"
  echo "(each line: tape, variant, then what the converter made of it)"
  echo
  for line in "$work"/report/recordings/*.txt "$work"/report/*.txt; do
    [ -e "$line" ] && cat "$line"
  done
} >"$report"
cat "$report"
echo
echo "report kept in $report"
