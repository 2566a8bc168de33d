#!/bin/sh
# The text console and script running, seen from outside: what a user types and what the
# process prints and returns.
# Usage: console.sh <zel executable>
zel=$1
. "$(dirname "$0")/expect.sh"

console() { printf '%s' "$1" | "$zel" --cli 2>&1; }

expect "results follow ==, ops group left to right, a function's argument takes the infix chain" \
"== 9
== -3
== 3" "$(console '1 + 2 * 3
negate 1 + 2
f: func [a /b c][either b [a + c][a]]
f/b 1 2
' | grep -v '^== func')"

expect "an unset result prints nothing" "" "$(console 'print ""
' | tr -d '\n')"

out=$(console 'unset-word-here
1 / 0
f: func [x [integer!]] [x]
f "a"
f
1 + 1
')
expect "the console carries on after errors" "== 2" "$(printf '%s\n' "$out" | tail -1)"
expect "unset word report" "*** Script Error: unset-word-here has no value" "$(printf '%s\n' "$out" | grep 'unset-word-here has')"
expect "zero divide report" "*** Math Error: attempt to divide by zero" "$(printf '%s\n' "$out" | grep 'divide by zero')"
expect "wrong argument type report" '*** Script Error: f does not allow string! for its x argument' \
    "$(printf '%s\n' "$out" | grep 'does not allow')"
expect "missing argument report" '*** Script Error: f is missing its x argument' \
    "$(printf '%s\n' "$out" | grep 'is missing')"

expect "multi-line input is gathered until the brackets close (the line break is kept)" "== [1 2
3]" "$(console '[1 2
3]
')"

# The lexer decides whether the typed text is complete: delimiters inside raw strings, chars,
# comments, strings and braced strings do not count; a braced string, a binary, a map and a
# paren left open ask for more lines.
expect "completeness follows the lexer" '== 2
== 2
== {"}
== [#"[" "]" {"}]
== "a^/b"
== binary!
== 3
== 1
== "x^/y}% z"' "$(console 'length? %{a^}%
1 + 1
a: #"[" b: "]" c: {"} ; [
reduce [a b
c]
x: {a
b}
type? #{0F
10}
(1 +
2)
length? #[a
1]
%%{x
y}% z}%%
')"

out=$(printf '[1 2\n3 4\n' | "$zel" --cli 2>&1); status=$?
expect "input that ends inside a block is reported as the lexer does" \
    "*** Syntax Error: (line 3) missing ] at [1 2" "$(printf '%s\n' "$out" | head -1)"
expect "with status 1" 1 $status
out=$(printf 'x: {abc\n' | "$zel" --cli 2>&1); status=$?
expect "and inside a braced string" "*** Syntax Error: (line 2) invalid string! at {abc" \
    "$(printf '%s\n' "$out" | head -1)"
expect "a stray closing bracket is an error at once" "*** Syntax Error: (line 1) missing [ at ]
== 5" "$(console '1 2]
5
' | grep -E '^(\*\*\* Syntax|==)')"

expect "the lexer's tracer prints every event and steps over bad text" 'PRESCAN  integer!     1x2          1    " ] 2"
SCAN     integer!     1x2          1    " ] 2"
LOAD     integer!     1            1    " ] 2"
PRESCAN  block!       3x3          1    "] 2"
ERROR    block!       3x4          1    " 2"
PRESCAN  integer!     5x6          1    ""
SCAN     integer!     5x6          1    ""
LOAD     integer!     2            1    ""
== [1 2]' "$(console 'transcode-trace "1 ] 2"
')"

out=$(console 'deep: func [n] [deep n + 1]
deep 1
1 + 2
')
expect "deep recursion raises stack-overflow and the console goes on" \
"*** Internal Error: stack overflow
== 3" "$(printf '%s\n' "$out" | grep -E 'stack overflow|^== 3')"

printf 'Zel [title: "ok"]\nprint "hello"\nprint 1 + 2\n' > "$tmp/ok.zel"
out=$("$zel" "$tmp/ok.zel" 2>&1); status=$?
expect "a script with a header runs" "hello
3" "$out"
expect "and exits 0" 0 $status

printf 'print "no header"\n' > "$tmp/bad.zel"
out=$("$zel" "$tmp/bad.zel" 2>&1); status=$?
expect "a script without a header is refused" "*** Error: Zel header not found!" "$out"
expect "with a non-zero status" 1 $status

printf 'Some text first.\nZel []\nprint "after text"\n' > "$tmp/late.zel"
expect "text may stand before the header" "after text" "$("$zel" "$tmp/late.zel" 2>&1)"

printf 'zel []\nprint "lower"\n' > "$tmp/lower.zel"
expect "the header word is case-sensitive" "*** Error: Zel header not found!" "$("$zel" "$tmp/lower.zel" 2>&1)"

printf 'Zel []\nprint "before"\n1 / 0\nprint "after"\n' > "$tmp/err.zel"
out=$("$zel" "$tmp/err.zel" 2>&1); status=$?
expect "a script error stops the script" "before" "$(printf '%s\n' "$out" | head -1)"
expect "and is reported" "*** Math Error: attempt to divide by zero" "$(printf '%s\n' "$out" | sed -n 2p)"
expect "with status 1" 1 $status

printf 'Zel []\nf: func [x] [x / 0]\ng: func [] [f 1]\nprint "start"\ng\nprint "not here"\n' > "$tmp/deep.zel"
out=$("$zel" "$tmp/deep.zel" 2>/dev/null); status=$?
expect "an error inside functions is reported with every line of the report" "start
*** Math Error: attempt to divide by zero
*** Where: /
*** Near : x / 0
*** Stack: g f" "$out"
expect "and the script ends with status 1" 1 $status

printf 'Zel []\nprint "a"\nquit/return 7\nprint "b"\n' > "$tmp/quit.zel"
out=$("$zel" "$tmp/quit.zel" 2>&1); status=$?
expect "quit in a script ends it at once" "a" "$out"
expect "with the status quit gives" 7 $status

out=$("$zel" "$tmp/no-such-script.zel" 2>&1); status=$?
expect "a script that cannot be read is reported" "*** Access Error: cannot open: %$tmp/no-such-script.zel" "$out"
expect "with status 1, without entering the console" 1 $status

out=$(printf 'print "in console"\n' | "$zel" --catch "$tmp/no-such-script.zel" 2>&1); status=$?
expect "with --catch an unreadable script leaves the console open" "*** Access Error: cannot open: %$tmp/no-such-script.zel
in console" "$out"
expect "which then ends normally" 0 $status
out=$(printf 'print "in console"\n' | "$zel" --catch "$tmp/err.zel" 2>&1)
expect "with --catch the console opens after a script error" "in console" "$(printf '%s\n' "$out" | tail -1)"

printf 'Zel/System []\nprint 1\n' > "$tmp/system.zel"
out=$("$zel" "$tmp/system.zel" 2>&1); status=$?
expect "a script with a Zel/System header is refused" "*** Error: contains Zel/System code which requires compilation!" "$out"
expect "with status 1" 1 $status

printf 'Zel []\ndo make error! "stop here"\n' > "$tmp/user.zel"
out=$("$zel" "$tmp/user.zel" 2>&1); status=$?
expect "a user error raised by a script" '*** User Error: "stop here"' "$(printf '%s\n' "$out" | head -1)"
expect "ends it with status 1 too" 1 $status

out=$(console 'first 5
')
expect "a report names the function called and the code near the error" "*** Script Error: first does not allow integer! for its s argument
*** Where: first
*** Near : first 5" "$(printf '%s\n' "$out" | head -3)"

expect "quit ends the console with its status" 3 "$(printf 'quit/return 3\nprint "not here"\n' | "$zel" --cli >/dev/null 2>&1; echo $?)"

printf 'Zel []\nshow-memory-stats [[[1 2 3] [4 5 6]] [] [10 200] 4 5]\n' > "$tmp/stats.zel"
expect "the memory report: frames, totals, big buffers" "
[ Nodes  ] -- Free ----- Used ----- Total --
  1:             1           2            3
  2:             4           5            6
  --
  Used     : 7 nodes
  Allocated: 9 nodes

[ Series ] -- Free ----- Used ----- Total --
               -           -            -
  --
  Used     : 0 bytes
  Allocated: 0 bytes

[ Big    ]
  1:            10
  2:           200
  --
  Allocated: 210 bytes
--
Total allocated from OS (virtual):         4
Total allocated on heap (malloc):         5" "$("$zel" "$tmp/stats.zel" 2>&1)"
printf 'Zel []\nstats/show\n' > "$tmp/stats.zel"
expect "stats/show prints the memory report" "[ Nodes  ] -- Free ----- Used ----- Total --" \
    "$("$zel" "$tmp/stats.zel" 2>&1 | grep Nodes)"

finish
