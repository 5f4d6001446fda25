# The DataArrived latency distribution against a plain ReadFile loop, from the
# benchmark's samples ("series milliseconds" per line), as cumulative shares.
#   gnuplot -e "samples='FILE'; output='PNG'" latency.gp
set terminal pngcairo size 900,500 font "sans,10"
set output output
stats samples using (stringcolumn(1) eq "DataArrived" ? 1 : 0) name "ours" nooutput
stats samples using (stringcolumn(1) eq "ReadFile" ? 1 : 0) name "raw" nooutput
stats samples using (stringcolumn(1) eq "DataReceived" ? 1 : 0) name "port" nooutput
stats samples using (stringcolumn(1) eq "DataReceived-rfc2217" ? 1 : 0) name "net" nooutput
set title "Latency from the peer's write: the control's 64-byte messages, SerialPort's 16-byte ones"
set xlabel "milliseconds from the peer's WriteFile"
set ylabel "share of messages delivered"
set yrange [0:1.02]
set xrange [0:40]
set grid
set key at graph 0.98, graph 0.3 right
set arrow from 15, graph 0 to 15, graph 1 nohead dt 2 lc rgb "#7570b3"
set arrow from 30, graph 0 to 30, graph 1 nohead dt 2 lc rgb "#7570b3"
set label "median goal 15 ms" at 15.5, 0.5
set label "p99 goal 30 ms" at 30.5, 0.5
plot samples using (stringcolumn(1) eq "DataArrived" ? $2 : 1/0):(1.0 / ours_sum) smooth cumulative \
       lw 2 lc rgb "#d95f02" title sprintf("DataArrived, control's receive loop (%d messages)", ours_sum), \
     samples using (stringcolumn(1) eq "ReadFile" ? $2 : 1/0):(1.0 / raw_sum) smooth cumulative \
       lw 2 lc rgb "#1b9e77" title sprintf("ReadFile loop, reference (%d messages)", raw_sum), \
     samples using (stringcolumn(1) eq "DataReceived" ? $2 : 1/0):(1.0 / port_sum) smooth cumulative \
       lw 2 lc rgb "#7570b3" title sprintf("DataReceived, SerialPort, 16-byte messages (%d)", port_sum), \
     samples using (stringcolumn(1) eq "DataReceived-rfc2217" ? $2 : 1/0):(1.0 / net_sum) smooth cumulative \
       lw 2 dt 2 lc rgb "#e7298a" title sprintf("DataReceived, SerialPort over rfc2217:// on 127.0.0.1 (%d)", net_sum)
