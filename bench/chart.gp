# Time per accounting day against the number of persons and the days of history, one curve per
# engine; and, when a run of bench/nights.sh left its figures, many companies' total time against
# K, the nights at a time. Called by bench/run.sh with dir (holding by_n.ENGINE.tsv and
# by_d.ENGINE.tsv), engines (their names, separated by blanks), nights (a file of K and the mean
# wall seconds of its runs, or "") and out set.
panels = (nights ne "") ? 3 : 2
set terminal pngcairo size (panels == 3 ? 1500 : 1100),450 font "DejaVu Sans,10"
set output out
set multiplot layout 1,panels title "parvek: one night, time per accounting day, per engine (durable commits)"
set logscale x
set logscale y
set grid
set ylabel "ms per accounting day"
set key top left
set offsets 0, 0, graph 0.3, 0   # room above the curves for the key
set xlabel "persons N (D = 365 days of history)"
set xtics ("1,000" 1000, "10,000" 10000, "100,000" 100000)
plot for [e in engines] dir."/by_n.".e.".tsv" using 2:6 with linespoints lw 2 title e
set xlabel "days of history D (N = 1,000 persons)"
set xtics ("30" 30, "365" 365, "3,650" 3650)
plot for [e in engines] dir."/by_d.".e.".tsv" using 3:6 with linespoints lw 2 title e
if (panels == 3) {
  set title "many companies on one PostgreSQL server"
  set key top right
  set xlabel "nights at a time K"
  set ylabel "total wall s for all companies"
  set logscale x 2
  set xrange [0.8:10]
  unset logscale y
  set yrange [0:*]
  set offsets 0, 0, 0, 0
  set xtics ("1" 1, "2" 2, "4" 4, "8" 8)
  plot nights using 1:2 with linespoints lw 2 title "postgres, mean of the rounds"
}
unset multiplot
