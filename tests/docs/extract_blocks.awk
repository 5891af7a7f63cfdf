# Extracts the command blocks of a Markdown file or a manual page, each with the
# doc-test marker written before it, for examples_test.sh.
#
#   awk -v out=DIR -v roff=0|1 -v first=N -f extract_blocks.awk FILE
#
# A command block is a fenced Markdown block whose info string is `sh` or that has a
# line beginning with "$ " or "# ", and every .EX block of a manual page. The marker
# is a line `<!-- doc-test: WORDS -->` (Markdown) or `.\" doc-test: WORDS` (roff)
# with nothing but blank lines between it and the block. For each block N (numbered
# on from FIRST, so that several files share one DIR) it writes
# DIR/N.body and one line to DIR/index:
#   N <TAB> script|transcript <TAB> FILE:LINE <TAB> WORDS (empty: no marker)
# A `sh` block is a script; any other is a transcript of prompts and output.

function flush_block(   kind) {
    count++
    kind = (info == "sh") ? "script" : "transcript"
    printf "%s", body > (out "/" count ".body")
    close(out "/" count ".body")
    printf "%d\t%s\t%s:%d\t%s\n", count, kind, FILENAME, start, marker >> (out "/index")
    marker = ""
}

function roff_text(line) {
    gsub(/\\-/, "-", line)
    gsub(/\\\(aq/, "'", line)
    gsub(/\\\(dq/, "\"", line)
    gsub(/\\&/, "", line)
    gsub(/\\e/, "\\", line)
    return line
}

BEGIN { count = first + 0; inside = 0; marker = "" }

# Markdown
!roff && !inside && /^<!-- doc-test:.*-->[ \t]*$/ {
    marker = $0
    sub(/^<!-- doc-test:[ \t]*/, "", marker)
    sub(/[ \t]*-->[ \t]*$/, "", marker)
    next
}
!roff && !inside && /^```/ {
    info = substr($0, 4)
    gsub(/[ \t]/, "", info)
    inside = 1; body = ""; start = FNR; commands = 0
    next
}
!roff && inside && /^```[ \t]*$/ {
    inside = 0
    if (info == "sh" || commands)
        flush_block()
    else
        marker = ""
    next
}
!roff && inside {
    body = body $0 "\n"
    if ($0 ~ /^[$#] /)
        commands = 1
    next
}

# Manual pages
roff && !inside && /^\.\\" doc-test:/ {
    marker = $0
    sub(/^\.\\" doc-test:[ \t]*/, "", marker)
    next
}
roff && !inside && /^\.EX[ \t]*$/ { inside = 1; body = ""; start = FNR; info = ""; next }
roff && inside && /^\.EE[ \t]*$/ { inside = 0; flush_block(); next }
roff && inside { body = body roff_text($0) "\n"; next }

# Any other line that is not blank separates a marker from the block it was for.
!/^[ \t]*$/ { marker = "" }
