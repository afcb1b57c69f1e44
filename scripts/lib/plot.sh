# The demo's pictures, drawn with gnuplot from kalvent_sim's trajectory file
# (its columns are listed in tools/sim/trajectory.h; they are found here by
# their names in the header row).
# shellcheck shell=bash

# trajectory_value CSV COLUMN ROW: the value of COLUMN in data row ROW
# (1 is the first; "last" the last).
trajectory_value() {
  awk -F, -v name="$2" -v row="$3" '
    NR == 1 { for (i = 1; i <= NF; ++i) if ($i == name) c = i; next }
    row != "last" && NR - 1 == row + 0 { print $c; exit }
    { last = $c }
    END { if (row == "last") print last }' "$1"
}

# halfway_time CSV: the time at which the trunk first rose halfway from its
# first height to its last.
halfway_time() {
  awk -F, '
    NR == 1 { for (i = 1; i <= NF; ++i) { if ($i == "trunk_height") h = i; if ($i == "time") t = i }; next }
    { time[NR] = $t; height[NR] = $h; n = NR }
    END {
      half = (height[2] + height[n]) / 2
      for (r = 2; r <= n; ++r) if (height[r] >= half) { print time[r]; exit }
      print time[n]
    }' "$1"
}

# pose_strip VIDEO CSV OUT: three frames of kalvent_sim's video side by side
# in the PNG OUT: lying at the start, rising (the trunk halfway up) and
# standing at the end.
pose_strip() {
  local video=$1 csv=$2 out=$3 fps=30 n1 n2
  n1=$(awk -v t="$(halfway_time "$csv")" -v f=$fps 'BEGIN { printf "%d", t * f + 0.5 }')
  n2=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of csv=p=0 "$video")
  ffmpeg -v error -y -i "$video" -frames:v 1 -fps_mode passthrough \
    -vf "select='eq(n\,0)+eq(n\,$n1)+eq(n\,$((n2 - 1)))',tile=3x1" "$out"
}

# gnuplot_csv: runs the gnuplot script on standard input after what every
# picture here shares: PNG pages, a CSV file whose header row names the
# columns, a grid, the key outside, and the legs' names in their order.
gnuplot_csv() {
  {
    cat <<'EOF'
set terminal pngcairo noenhanced size 1000,800 font "sans,10"
set datafile separator ","
set datafile columnheaders
set grid
set key outside right
legs = "FR FL RR RL"
EOF
    cat
  } | gnuplot
}

# stand_plots CSV OUT_PREFIX WEIGHT_N TITLE: writes OUT_PREFIX_joints.png,
# _error.png, _torques.png, _forces.png and _body.png.
stand_plots() {
  local csv=$1 prefix=$2 weight=$3 title=$4
  gnuplot_csv <<EOF
set xlabel "time (s)"
set autoscale xfix
joints = "hip thigh calf"
leg(l) = word(legs, l + 1)
q(l, j) = column(sprintf("%s_%d", leg(l), j))
cmd(l, j) = column(sprintf("%s_%d_cmd", leg(l), j))

set output "${prefix}_joints.png"
set ylabel "angle (rad)"
set multiplot layout 2,2 title "$title: commanded (dashed) and measured (solid) joint angles"
do for [l=0:3] {
  set title leg(l)
  plot for [j=0:2] "$csv" using 1:(q(l, j)) with lines lw 2 lc j + 1 title word(joints, j + 1), \
       for [j=0:2] "$csv" using 1:(cmd(l, j)) with lines dt 2 lc j + 1 notitle
}
unset multiplot

set output "${prefix}_error.png"
set title "$title: tracking error, largest of each leg's three joints"
set ylabel "|commanded - measured| (rad)"
worst(l) = (a = abs(cmd(l, 0) - q(l, 0)), b = abs(cmd(l, 1) - q(l, 1)), c = abs(cmd(l, 2) - q(l, 2)), \
            a > b ? (a > c ? a : c) : (b > c ? b : c))
plot for [l=0:3] "$csv" using 1:(worst(l)) with lines lw 2 title leg(l), \
     0.05 with lines dt 2 lw 2 lc "red" title "tolerance 0.05 rad (at the end)"

set output "${prefix}_torques.png"
set ylabel "torque (N·m)"
set multiplot layout 2,2 title "$title: motor torques"
do for [l=0:3] {
  set title leg(l)
  plot for [j=0:2] "$csv" using 1:(column(sprintf("%s_%d_tau", leg(l), j))) with lines lw 2 \
       title word(joints, j + 1)
}
unset multiplot

set output "${prefix}_forces.png"
set title "$title: vertical foot forces against the robot's weight"
set ylabel "force (N)"
f(l) = column(sprintf("%s_force", leg(l)))
plot for [l=0:3] "$csv" using 1:(f(l)) with lines lw 1 title leg(l), \
     "$csv" using 1:(f(0) + f(1) + f(2) + f(3)) with lines lw 2 lc "black" title "sum", \
     $weight with lines dt 2 lw 2 lc "red" title "weight $weight N", \
     $weight / 4 with lines dt 3 lc "red" title "weight / 4"

set output "${prefix}_body.png"
set multiplot layout 2,1 title "$title: the trunk"
set title "height of the trunk's centre"
set ylabel "height (m)"
plot "$csv" using 1:"trunk_height" with lines lw 2 title "measured", \
     "$csv" using 1:"commanded_height" with lines dt 2 lw 2 title "the commanded angles' height"
set title "orientation"
set ylabel "angle (rad)"
plot for [a in "roll pitch yaw"] "$csv" using 1:a with lines lw 2 title a
unset multiplot
EOF
}

# walk_plots CSV PREFIX TITLE [TOLERANCE_M]: a walk seen from above (the
# trunk's path beside the path its commanded speeds lead along, from the
# start, and a circle of TOLERANCE_M around the commanded end), its
# speeds against the commanded ones, the trunk's height and tilt against the
# fallen limit, and a gait diagram (a bar while a foot carries more than 5 N).
# A low-level run has no commanded speeds: only the measured ones show.
walk_plots() {
  local csv=$1 prefix=$2 title=$3 tolerance=${4:-0}
  gnuplot_csv <<EOF
cmd(name) = (v = column(name), v == v ? v : 0)

set output "${prefix}_path.png"
set title "$title: the trunk's path seen from above"
set xlabel "x (m)"
set ylabel "y (m)"
set size ratio -1
set offsets 0.2, 0.2, 0.2, 0.2
# The commanded path: the commanded speeds integrated from the start.
cx = 0; cy = 0; ch = 0; ct = 0
commanded_x(t) = (dt = t - ct, ct = t, ch = ch + cmd("rotate_cmd") * dt, \
                  cx = cx + (cmd("forward_cmd") * cos(ch) - cmd("side_cmd") * sin(ch)) * dt, \
                  cy = cy + (cmd("forward_cmd") * sin(ch) + cmd("side_cmd") * cos(ch)) * dt, cx)
plot "$csv" using (commanded_x(column("time"))):(cy) with lines dt 2 lw 2 title "commanded", \
     "$csv" using "trunk_x":"trunk_y" with lines lw 2 title "measured"
if ($tolerance > 0) {
  # Drawn again with the tolerance around the commanded end.
  set output "${prefix}_path.png"
  set object 1 circle at cx, cy size $tolerance fs empty border lc "red" lw 2
  set label 1 "tolerance $tolerance m" at cx, cy - $tolerance - 0.05 center textcolor "red"
  cx = 0; cy = 0; ch = 0; ct = 0
  replot
  unset object 1
  unset label 1
}
set offsets 0, 0, 0, 0
set size noratio

set output "${prefix}_speed.png"
set multiplot layout 2,1 title "$title: commanded (dashed) and measured speeds (over 0.1 s)"
set xlabel "time (s)"
set autoscale xfix
remainder(a) = a - 2 * pi * floor(a / (2 * pi) + 0.5)
x0 = NaN; y0 = NaN; w0 = NaN; t0 = NaN
step(t, x, y, w) = (dt = t - t0, dx = x - x0, dy = y - y0, \
                    fw = (dx * cos(w) + dy * sin(w)) / dt, sd = (-dx * sin(w) + dy * cos(w)) / dt, \
                    tr = remainder(w - w0) / dt, t0 = t, x0 = x, y0 = y, w0 = w, fw)
set title "forward and sideways, in the body's heading"
set ylabel "m/s"
plot "$csv" every 5 using 1:(step(column("time"), column("trunk_x"), column("trunk_y"), \
       column("yaw"))) with lines lw 2 lc 1 title "forward", \
     "$csv" every 5 using 1:(step(column("time"), column("trunk_x"), column("trunk_y"), \
       column("yaw")), sd) with lines lw 2 lc 2 title "sideways", \
     "$csv" using 1:"forward_cmd" with lines dt 2 lw 2 lc 1 title "forward commanded", \
     "$csv" using 1:"side_cmd" with lines dt 2 lw 2 lc 2 title "sideways commanded"
set title "turning"
set ylabel "rad/s"
plot "$csv" every 5 using 1:(step(column("time"), column("trunk_x"), column("trunk_y"), \
       column("yaw")), tr) with lines lw 2 lc 3 title "turning", \
     "$csv" using 1:"rotate_cmd" with lines dt 2 lw 2 lc 3 title "commanded"
unset multiplot

set output "${prefix}_body.png"
set multiplot layout 2,1 title "$title: the trunk"
set title "height of the trunk's centre"
set ylabel "height (m)"
plot "$csv" using 1:"trunk_height" with lines lw 2 title "measured"
set title "tilt; fallen beyond 0.35 rad"
set ylabel "angle (rad)"
plot for [a in "roll pitch"] "$csv" using 1:a with lines lw 2 title a, \
     0.35 with lines dt 2 lc "red" title "limit", -0.35 with lines dt 2 lc "red" notitle
unset multiplot

set output "${prefix}_gait.png"
set title "$title: gait diagram, a bar while the foot carries weight"
set ylabel ""
set ytics ("FR" 4, "FL" 3, "RR" 2, "RL" 1)
set yrange [0.5:4.5]
on(l) = column(sprintf("%s_force", word(legs, l + 1))) > 5 ? 4 - l : NaN
plot for [l=0:3] "$csv" using 1:(on(l)) with points pt 5 ps 0.6 title word(legs, l + 1)
EOF
}
