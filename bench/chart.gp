# Time per accounting day against the number of persons and the days of history; beside it the
# commit floor per accounting day and the CPU time of the job. Called by bench/run.sh with by_n, by_d and out set.
set terminal pngcairo size 1100,450 font "DejaVu Sans,10"
set output out
set multiplot layout 1,2 title "parvek: one night, time per accounting day (SQLite, durable commits)"
set logscale x
set grid
set ylabel "ms per accounting day"
set yrange [0:*]
set key top left
set offsets 0, 0, graph 0.3, 0   # room above the curves for the key
set xlabel "persons N (D = 365 days of history)"
set xtics ("1,000" 1000, "10,000" 10000, "100,000" 100000)
plot by_n using 2:6 with linespoints lw 2 pt 7 title "whole run", \
     by_n using 2:($8/$5*1000) with linespoints lw 2 pt 5 dt 2 title "commit floor", \
     by_n using 2:10 with linespoints lw 2 pt 9 dt 3 title "CPU time of the job"
set xlabel "days of history D (N = 1,000 persons)"
set xtics ("30" 30, "365" 365, "3,650" 3650)
plot by_d using 3:6 with linespoints lw 2 pt 7 title "whole run", \
     by_d using 3:($8/$5*1000) with linespoints lw 2 pt 5 dt 2 title "commit floor", \
     by_d using 3:10 with linespoints lw 2 pt 9 dt 3 title "CPU time of the job"
unset multiplot
