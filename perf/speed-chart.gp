# SPDX-License-Identifier: BSD-2-Clause
# Pack and restore speed against archive size, end to end, from the figures of
# one run of zorv_end_to_end -o (one tab-separated line per command). `make
# end-to-end` runs it; by hand:
#   gnuplot -e "data='build-perf/end-to-end.dat'; svg='doc/speed-chart.svg'" perf/speed-chart.gp
if (!exists("data")) data = "build-perf/end-to-end.dat"
if (!exists("svg")) svg = "doc/speed-chart.svg"

# The run's machine and rounds are comment lines at the top of the data.
meta(key) = system(sprintf("sed -n 's/^# %s: //p' '%s'", key, data))
machine = meta("machine")
rounds = meta("rounds")

# Columns: 1 command, 2 tool, 3 pack/restore/copy, 4 one/every CPU,
# 5 archive bytes, 6 input bytes, 7 median seconds, 8 best seconds.
set datafile separator "\t"
mbs = "column(6) / column(7) / 1e6"
size = "100.0 * column(5) / column(6)"
tool_number(t) = t eq "ZORV" ? 0 : t eq "lz4" ? 1 : t eq "zstd" ? 2 : t eq "lzop" ? 3 : 4
slot(t, d, cpus) = 1 + 4 * tool_number(t) + 2 * (d eq "restore") + (cpus eq "one")
# Every command's speed by tool, direction and CPUs, for placing the labels.
array speeds[20]
do for [k = 1:20] { speeds[k] = 0 }
keep(v) = (speeds[slot(strcol(2), strcol(3), strcol(4))] = v, v)
stats data using (keep(@mbs)) nooutput
top_speed = STATS_max
stats data using 6 nooutput
input_mb = STATS_max / 1e6

set terminal svg size 1100,560 dynamic font "sans,13" background "white"
set termoption noenhanced
set output svg

shown(d, cpus) = (strcol(3) eq d || strcol(3) eq "copy") && strcol(4) eq cpus
speed(d, cpus) = shown(d, cpus) ? @mbs : NaN
# The label is the command without the note on CPUs after its comma.
name(s) = strstrt(s, ",") > 0 ? s[1:strstrt(s, ",") - 1] : s
color(t) = t eq "ZORV" ? 0xd62728 : t eq "lz4" ? 0x1f77b4 : t eq "zstd" ? 0x2ca02c : t eq "lzop" ? 0x9467bd : 0x606060

# Labels go where the tools' archive sizes leave room: zstd's (the smallest
# archives) on the left, ZORV's and cp's on the right; lz4 and lzop make
# archives of nearly the same size, so one label goes above and one below, the
# faster tool's on top. A one-CPU point close to its every-CPU point shares
# that point's label.
side(t) = t eq "zstd" ? -1 : (t eq "lz4" || t eq "lzop") ? 0 : 1
other(t) = t eq "lz4" ? "lzop" : "lz4"
on_top(d, t) = speeds[slot(t, d, "every")] > speeds[slot(other(t), d, "every")] || \
               (speeds[slot(t, d, "every")] == speeds[slot(other(t), d, "every")] && t eq "lz4")
apart(d, t) = abs(speeds[slot(t, d, "one")] - speeds[slot(t, d, "every")]) > 0.06 * top_speed
beside(d, cpus, s) = side(strcol(2)) == s && (cpus eq "every" || apart(d, strcol(2))) ? speed(d, cpus) : NaN
stacked(d, top) = side(strcol(2)) == 0 && on_top(d, strcol(2)) == top ? speed(d, "every") : NaN

set grid lc rgb "#dddddd"
set xrange [0:112]
set yrange [0:1.1 * top_speed]
set xtics 10
set xlabel "archive size, % of the input (smaller is better)"
set ylabel "MB/s of input, wall time of the whole process"
set key top left box opaque samplen 1 spacing 1.3

set multiplot layout 1,2 title sprintf("ZORV and peers end to end on %s\na %.1f MB file in the page cache, median of %s rounds; 1 MB = 1000000 bytes\nlz4, lzop, zstd -d and cp run one thread whichever CPUs they may use", machine, input_mb, rounds)

do for [d in "pack restore"] {
    set title (d eq "pack" ? "pack: zorv FILE, lz4 -1, zstd -1 -T0, lzop -1; cp" : "restore: zorv -u, lz4 -d, zstd -d, lzop -d; cp")
    plot data using (@size):(speed(d, "every")):(color(strcol(2))) with points pt 7 ps 1.4 lc rgb variable notitle, \
         data using (@size):(speed(d, "one")):(color(strcol(2))) with points pt 6 ps 1.4 lw 2 lc rgb variable notitle, \
         for [cpus in "every one"] data using (@size):(beside(d, cpus, 1)):(name(strcol(1))) \
             with labels left offset 1.2,0 notitle, \
         for [cpus in "every one"] data using (@size):(beside(d, cpus, -1)):(name(strcol(1))) \
             with labels right offset -1.2,0 notitle, \
         data using (@size):(stacked(d, 1)):(name(strcol(1))) with labels center offset 0,1.1 notitle, \
         data using (@size):(stacked(d, 0)):(name(strcol(1))) with labels center offset 0,-1.1 notitle, \
         NaN with points pt 7 ps 1.4 lc rgb "black" title "every CPU", \
         NaN with points pt 6 ps 1.4 lw 2 lc rgb "black" title "one CPU (taskset -c 0)"
}
unset multiplot
