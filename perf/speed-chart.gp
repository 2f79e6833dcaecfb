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
# lz4 and lzop make archives of nearly the same size at nearly the same speed,
# so their labels go one above and one below, the faster one's on top.
lz4_pack = lz4_restore = lzop_pack = lzop_restore = 0
keep(cmd, v) = cmd eq "lz4 -1" ? lz4_pack = v : cmd eq "lz4 -d" ? lz4_restore = v : \
               cmd eq "lzop -1" ? lzop_pack = v : cmd eq "lzop -d" ? lzop_restore = v : v
stats data using (keep(strcol(1), @mbs)) nooutput
top_speed = STATS_max
stats data using 6 nooutput
input_mb = STATS_max / 1e6

set terminal svg size 1100,560 dynamic font "sans,13" background "white"
set termoption noenhanced
set output svg

size = "100.0 * column(5) / column(6)"
shown(d, cpus) = (strcol(3) eq d || strcol(3) eq "copy") && strcol(4) eq cpus
speed(d, cpus) = shown(d, cpus) ? @mbs : NaN
pair(t) = t eq "lz4" || t eq "lzop"
higher(d, t) = t eq "lz4" ? (d eq "pack" ? lz4_pack >= lzop_pack : lz4_restore >= lzop_restore) : \
                            (d eq "pack" ? lzop_pack > lz4_pack : lzop_restore > lz4_restore)
beside(d) = pair(strcol(2)) ? NaN : speed(d, "every")
above(d) = pair(strcol(2)) && higher(d, strcol(2)) ? speed(d, "every") : NaN
below(d) = pair(strcol(2)) && !higher(d, strcol(2)) ? speed(d, "every") : NaN
# The label is the command without the note on CPUs after its comma.
name(s) = strstrt(s, ",") > 0 ? s[1:strstrt(s, ",") - 1] : s
color(tool) = tool eq "ZORV" ? 0xd62728 : tool eq "lz4" ? 0x1f77b4 : tool eq "zstd" ? 0x2ca02c : \
              tool eq "lzop" ? 0x9467bd : 0x606060

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
         data using (@size):(beside(d)):(name(strcol(1))) with labels left offset 1.2,0 notitle, \
         data using (@size):(above(d)):(name(strcol(1))) with labels center offset 0,1.1 notitle, \
         data using (@size):(below(d)):(name(strcol(1))) with labels center offset 0,-1.1 notitle, \
         data using (@size):(speed(d, "one")):(name(strcol(1))) with labels right offset -1.2,0 notitle, \
         NaN with points pt 7 ps 1.4 lc rgb "black" title "every CPU", \
         NaN with points pt 6 ps 1.4 lw 2 lc rgb "black" title "one CPU (taskset -c 0)"
}
unset multiplot
