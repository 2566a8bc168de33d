#!/bin/sh
# The command line and the console output, seen from outside: the arguments a script gets,
# its current folder, and the bytes written to the standard output.
# Usage: os.sh <zel executable> <run.sh>
zel=$1
run=$2
. "$(dirname "$0")/expect.sh"

mkdir -p "$tmp/sub dir"
cat >"$tmp/sub dir/args.zel" <<'ZEL'
Zel [title: "args"]
print mold system/options/args
print mold system/script/args
print mold as string! system/options/script
print mold as string! get-current-dir
ZEL

out=$(cd "$tmp" && "$zel" "sub dir/args.zel" a "b c" "" --x 2>&1)
expect "a script gets exactly its arguments, and runs in its own folder" \
"[\"a\" \"b c\" \"\" \"--x\"]
{a \"b c\" \"\" --x}
\"sub dir/args.zel\"
\"$tmp/sub dir/\"" "$out"

out=$(cd "$tmp/sub dir" && "$zel" args.zel 2>&1 | head -2)
expect "no arguments after the script: an empty block and an empty text" '[]
""' "$out"

out=$(cd "$tmp/sub dir" && "$zel" --catch --other -- args.zel -- y </dev/null 2>&1 | head -2)
expect "switches before the script are removed, a bare -- ends them" '["--" "y"]
"-- y"' "$out"

cp "$tmp/sub dir/args.zel" "$tmp/--odd.zel"
out=$(cd "$tmp" && "$zel" -- --odd.zel z 2>&1 | head -1)
expect "after -- a name that starts with -- is the script" '["z"]' "$out"

out=$(printf 'print mold system/options/args\nprint mold system/script/args\n' | "$zel" --cli 2>&1)
expect "without a script the console sees the switches it was given" '["--cli"]
"--cli"' "$out"

out=$(printf 'print exists? system/options/boot\n' | "$zel" --cli 2>&1)
expect "system/options/boot names the running program" "true" "$out"

out=$(printf 'print mold system/script/args\n' | "$zel" 2>&1)
expect "no arguments at all: system/script/args is none" 'none' "$out"

# run.sh passes the arguments through, runs in the caller's folder and prints nothing of
# the build when there is nothing to build.
if [ -n "$run" ]; then
    "$run" --version >/dev/null 2>&1 </dev/null
    out=$(cd "$tmp" && "$run" "sub dir/args.zel" "1 2" 3 2>&1 </dev/null)
    expect "run.sh from another folder" \
"[\"1 2\" \"3\"]
{\"1 2\" 3}
\"sub dir/args.zel\"
\"$tmp/sub dir/\"" "$out"
fi

# ---- console output ----
cat >"$tmp/out.zel" <<'ZEL'
Zel []
prin "é"
print "^(1B)[31mred^(1B)[0m"
write-stdout "raw^/"
print "末"
ZEL
out=$("$zel" "$tmp/out.zel" | od -An -tx1 | tr -s ' \n' ' ')
expect "UTF-8 text and escape sequences go out unchanged, with LF line ends" \
" c3 a9 1b 5b 33 31 6d 72 65 64 1b 5b 30 6d 0a 72 61 77 0a e6 9c ab 0a " "$out"

cat >"$tmp/long.zel" <<'ZEL'
Zel []
s: make string! 2000 loop 1000 [append s "ab"] append s "é" print s
ZEL
out=$("$zel" "$tmp/long.zel" | wc -c | tr -d ' ')
expect "a long line is written whole" "2003" "$out"

cat >"$tmp/closed.zel" <<'ZEL'
Zel []
loop 20000 [print "a line of text that nobody reads"]
write-stdout "more"
write %done.txt "yes"
ZEL
rm -f "$tmp/done.txt"
(cd "$tmp" && "$zel" closed.zel | head -c 10 >/dev/null)
expect "a closed pipe does not end the process" "yes" "$(cat "$tmp/done.txt" 2>/dev/null)"
rm -f "$tmp/done.txt"
(cd "$tmp" && "$zel" closed.zel >&-)
status=$?
expect "a closed standard output does not end the process" "yes 0" "$(cat "$tmp/done.txt" 2>/dev/null) $status"
rm -f "$tmp/done.txt"
if [ -w /dev/full ]; then
    (cd "$tmp" && "$zel" closed.zel >/dev/full)
    expect "a full standard output does not end the process" "yes" "$(cat "$tmp/done.txt" 2>/dev/null)"
fi

finish
