#!/usr/bin/env bash
# Compares two builds of the three programs: runs a table of command lines through the
# sonvel, sonvel-design and sonvel-analyze of each build and reports every difference
# in exit status, standard output, standard error and the files a run leaves in its
# folder, one line each, then "N same, M differ". Run by hand before a change to the
# programs lands:
#   tests/compare_builds.sh OLD_BUILD_DIR NEW_BUILD_DIR
# Each command line runs in a scratch folder of its own holding the input files below,
# with a clean environment (LC_ALL=C) and standard input from /dev/null unless the line
# redirects it. The programs are found on PATH by their plain names, so argv[0], which
# the reports and getopt's messages print, is the same for both builds. The time and
# date in the build line of `sonvel -h` are masked, so the two builds need not share
# SOURCE_DATE_EPOCH. The recordings for the analyser are made by the OLD build's
# sonvel. Exit status 0 when every run is the same, 1 when one differs (the runs are
# then kept for a closer look), 2 when a build lacks a program.
set -u
programs="sonvel sonvel-design sonvel-analyze"
tests=$(cd "$(dirname "$0")" && pwd)
if [ $# -ne 2 ]; then
  echo "usage: $0 OLD_BUILD_DIR NEW_BUILD_DIR" >&2
  exit 2
fi
work=$(mktemp -d)
for side in old new; do
  dir=$([ $side = old ] && echo "$1" || echo "$2")
  mkdir -p "$work/$side/bin"
  for p in $programs; do
    if [ ! -x "$dir/$p" ]; then
      echo "$0: no $p in $dir: all three programs are compared (the designer and the analyser need FFTW 3 and libsndfile)" >&2
      rm -rf "$work"
      exit 2
    fi
    ln -s "$(cd "$dir" && pwd)/$p" "$work/$side/bin/$p"
  done
done

# Runs one command line with one build: run SIDE FOLDER COMMAND. The folder gets a copy
# of the inputs; status, standard output and standard error go beside it.
run() {
  mkdir -p "$2" && cp -a "$work/in/." "$2/"
  (cd "$2" && env -i PATH="$work/$1/bin:/usr/bin:/bin" HOME="$2" LC_ALL=C \
     timeout 300 bash -c "$3" </dev/null >"$2.stdout" 2>"$2.stderr"; echo $? >"$2.status")
  sed -i 's/ compiled at .* on .*\.$/ compiled at TIME on DATE./' "$2.stderr"
}

# The inputs: parameter lists, a designer's list and recordings made from it.
mkdir -p "$work/in/sub" && cd "$work/in" || exit 2
echo 1000 >tone.txt
printf '# A major\n440 1 0\n554.365 0.8 -1.5707963\n659.255 0.5 3.1415927\n' >chord.txt
printf '1000 1\n6000 0.5\n7000 0.25 1\n' >nyquist.txt
printf 'hello\n' >bad.txt
printf 'bytes of an earlier run\n' >existing.wav
printf '100 1\n250 0.5\n400\n# a comment\n1000 1 ignored\n' >lines.txt
printf '100 0dB\n1000 -10dB\n4000 -20dB\n' >levels.txt
printf '"Sens Factor =-1.5dB, SERNO: 1"\n* Hz dB deg\n100 0 0\n1000, 3, 10\n5000\t-2\t-20\n' >mic.txt
S="$work/old/bin/sonvel" D="$work/old/bin/sonvel-design"
"$D" --resolution 50 --band 100:5000 --lines random-odd --phases schroeder >list.txt
"$S" -t 1000 -l -12 -f list.txt r16.wav 2>/dev/null
"$S" -t 1000 -l -12 -f list.txt --sample-format s24 --quantize tpdf r24.wav 2>/dev/null
"$S" -t 1000 -l -12 -f list.txt --sample-format f32 rf32.wav 2>/dev/null
"$S" -t 3007 -l -12 -f list.txt r3007.wav 2>/dev/null
# Two channels: the first the signal 7 samples late, the second the signal itself.
python3 "$tests/delayed_stereo.py" r16.wav stereo.wav 7
# The longer recording with a click: one sample of 30000 halfway.
python3 - r3007.wav click.wav <<'PY'
import array, sys, wave
with wave.open(sys.argv[1]) as w:
    params = w.getparams()
    x = array.array("h", w.readframes(w.getnframes()))
x[len(x) // 2] = 30000
with wave.open(sys.argv[2], "wb") as o:
    o.setparams(params)
    o.writeframes(x.tobytes())
PY
# One channel: the signal inverted and 7 samples late; and its middle third, no fade in it.
python3 - <<'PY'
import array, wave
with wave.open("r16.wav") as w:
    rate, x = w.getframerate(), array.array("h", w.readframes(w.getnframes()))
inverted = array.array("h", [0] * 7) + array.array("h", [max(-32768, min(32767, -v)) for v in x])
for name, y in (("inverted.wav", inverted), ("middle.wav", x[len(x) // 3:2 * len(x) // 3])):
    with wave.open(name, "wb") as o:
        o.setnchannels(1)
        o.setsampwidth(2)
        o.setframerate(rate)
        o.writeframes(y.tobytes())
PY
if [ ! -s stereo.wav ] || [ ! -s r3007.wav ] || [ ! -s click.wav ] || [ ! -s inverted.wav ]; then
  echo "$0: the inputs could not be made" >&2
  rm -rf "$work"
  exit 2
fi

table() {
  cat <<'EOF'
# sonvel: defaults, the parameter source
sonvel out.wav <tone.txt
sonvel -f chord.txt out.wav
sonvel out.wav <chord.txt
sonvel -f nosuch.txt out.wav
sonvel -f bad.txt out.wav
sonvel -f - out.wav <tone.txt
sonvel out.wav
sonvel -f chord.txt existing.wav
# sonvel: every short option, values as atoi reads them
sonvel -t 250 -s 8000 -l -20 -T 10 -f chord.txt out.wav
sonvel -t 250ms -T 20msec -f tone.txt out.wav
sonvel -t ' 12abc' -T 0 -f tone.txt out.wav
sonvel -s 8k -T 0 -f tone.txt out.wav
sonvel -s +16000 -l ' -30' -f tone.txt out.wav
sonvel -l -16dB -T abc -f chord.txt out.wav
sonvel -t0x10 -f tone.txt out.wav
sonvel -r -f chord.txt out.raw
sonvel -w -r -f chord.txt out.raw
sonvel -r -w -t 100 -T 10 -f chord.txt out.wav
sonvel -o -t 20 -T 5 -f chord.txt out.wav
sonvel -ort20 -T5 -s8000 -f tone.txt out.raw
sonvel -t 20 -T 5 /dev/stdout <tone.txt
sonvel -t 20 -T 5 -r /dev/stdout <chord.txt
sonvel -o -t 20 -T 5 /dev/stdout <tone.txt
# sonvel: repeated options, -h, getopt's diagnostics, --, POSIXLY_CORRECT, operands
sonvel -t 100 -t 200 -s 8000 -s 16000 -l -10 -l -20 -T 5 -T 15 -f tone.txt out.wav
sonvel -f nosuch.txt -f chord.txt -o -o -t 10 -T 2 out.wav
sonvel -h
sonvel -t 100 -h out.wav
sonvel -x -h
sonvel -x -f tone.txt out.wav
sonvel -q -t
sonvel -f tone.txt out.wav -t
sonvel -f tone.txt -- -out.wav
sonvel -f tone.txt out.wav -t 200 -l -30
POSIXLY_CORRECT=1 sonvel -f tone.txt out.wav -t 100
POSIXLY_CORRECT=1 sonvel -f tone.txt -t 200 -- out.wav
sonvel <tone.txt
sonvel a.wav b.wav <tone.txt
sonvel '' <tone.txt
# sonvel: refused values and sizes
sonvel -l 0 -f tone.txt existing.wav
sonvel -l 5 -f tone.txt out.wav
sonvel -l -0 -f tone.txt out.wav
sonvel -l abc -f tone.txt out.wav
sonvel -t 0 -f tone.txt out.wav
sonvel -s 0 -f tone.txt out.wav
sonvel -T -1 -f tone.txt out.wav
sonvel -s 1 -f tone.txt out.wav
sonvel -t 2147483647 -s 48000 -f tone.txt out.wav
sonvel -s 99999999999 -f tone.txt out.wav
sonvel -l -99999999999 -f tone.txt out.wav
sonvel -t 100 -T 60 -f tone.txt out.wav
sonvel -t 100 -T 50 -f tone.txt out.wav
sonvel -l -1 -f chord.txt existing.wav
sonvel -l -100 -f tone.txt out.wav
sonvel -f nyquist.txt out.wav
# sonvel: long options, unique abbreviations, refused values
sonvel --sample-format s16 -f chord.txt out.wav
sonvel --sample-format s24 -r -f chord.txt out.raw
sonvel --sample-format s32 --quantize round -f chord.txt out.wav
sonvel --sample-format=f32 -l -10 -f chord.txt out.wav
sonvel --quantize truncate --seed 5 -f chord.txt out.wav
sonvel --quantize tpdf -l -70 -f chord.txt out.wav
sonvel --quantize tpdf --seed 18446744073709551615 --sample-format s24 -f tone.txt out.wav
sonvel --level -20.25 -l -10 -f tone.txt out.wav
sonvel -l -10 --level -20.25 -f tone.txt out.wav
sonvel --calibrate -20=94 --level 80spl -f chord.txt out.wav
sonvel --calibrate '-18=4 dBu' --level -10dBu --full-scale sine -f chord.txt out.wav
sonvel --calibrate -20=-10dBV --level '-16 dBV' -f tone.txt out.wav
sonvel --full-scale sine -l -10 -f tone.txt out.wav
sonvel --sample=s24 --quant=round --full=sine --lev=-12.5 --cal=-20=94 --seed=3 -f tone.txt out.wav
sonvel --sample-format s8 -f tone.txt out.wav
sonvel --quantize nearest -f tone.txt out.wav
sonvel --seed -1 --quantize tpdf -f tone.txt out.wav
sonvel --seed 1x -f tone.txt out.wav
sonvel --level loud -f tone.txt out.wav
sonvel --level 80spl -f tone.txt out.wav
sonvel --level 0.5 -f tone.txt out.wav
sonvel --full-scale ac -f tone.txt out.wav
sonvel --calibrate 94 -f tone.txt out.wav
sonvel -f tone.txt out.wav --sample-format
sonvel -o --sample-format f32 -t 20 -T 5 -f chord.txt out.wav
sonvel -o --sample-format s24 --quantize tpdf -t 20 -T 5 -f chord.txt out.wav
# sonvel-design
sonvel-design
sonvel-design -s 48000 --resolution 10 --band 10:20480 --phases schroeder -t 10000
sonvel-design --grid log --per-octave 6 --band 20:5000 --phases newman -T 20
sonvel-design --lines odd --spectrum pink --phases random --seed 7
sonvel-design --lines random-odd --spectrum -4.5 --exclude 1000:2000 --exclude 3000:3500 --phases zero
sonvel-design --grid log --lines random-odd --spectrum brown --phases schroeder
sonvel-design --lines lines.txt --phases schroeder --resolution 50
sonvel-design --amplitudes levels.txt --band 50:5000 --phases newman
sonvel-design --starts 2 --peak samples --band 100:3000
sonvel-design --starts 2 --peak both --iterations 50 --time 1 --spectrum white
sonvel-design --realisations 3 --phases random --band 100:1000 pre
sonvel-design --realisations 2 --starts 1 --band 100:2000 sub/lc
sonvel-design --sample-format s24 --quantize round --full-scale sine --calibrate -20=94 -t 2000 --phases schroeder
sonvel-design --grid cubic
sonvel-design --rate 0
sonvel-design --resolution 7 --phases zero
sonvel-design --band 5000:100
sonvel-design --phases zero extra
sonvel-design --realisations 2 --phases zero p
sonvel-design --lines lines.txt --spectrum pink
sonvel-design -x
sonvel-design -t 100 -T 50 --phases zero
# sonvel-analyze, on recordings made by the old build's sonvel
sonvel-analyze -t 1000 -l -12 -f list.txt r16.wav
sonvel-analyze -t 1000 -l -12 r16.wav <list.txt
sonvel-analyze -t 1000 -l -12 --sample-format s24 --quantize tpdf -f list.txt r24.wav
sonvel-analyze -t 1000 -l -12 --sample-format f32 --json -f list.txt rf32.wav
sonvel-analyze -t 3007 -l -12 -f list.txt r3007.wav
sonvel-analyze -t 3007 -l -12 -f list.txt click.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --reference 2 stereo.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --channel 2 --json stereo.wav
sonvel-analyze -t 1000 -l -12 -f list.txt inverted.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --json middle.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --json --periods 5 --max-freq 3000 --settle 100 r16.wav
sonvel-analyze -t 1000 --calibrate -20=94 --level 102spl --full-scale sine -f list.txt r16.wav
sonvel-analyze -t 1000 -l -20 -f list.txt r16.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --drift off r16.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --drift -35.5 --reference 2 stereo.wav
sonvel-analyze -t 1000 -f list.txt --drift 1001 r16.wav
sonvel-analyze -t 0 -f list.txt r16.wav
sonvel-analyze -t 1000 -f list.txt --periods 1 r16.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --strict r16.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --strict --periods 3 r16.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --periods 3 --json r16.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --cal mic.txt r16.wav
sonvel-analyze -t 1000 -l -12 -f list.txt --cal levels.txt r16.wav
sonvel-analyze -t 1000 -f list.txt --max-freq abc r16.wav
sonvel-analyze -t 1000 -f list.txt --reference 3 stereo.wav
sonvel-analyze -t 1000 -f list.txt --channel 0 r16.wav
sonvel-analyze -t 1000 -f list.txt -l 0 --level 80spl r16.wav
sonvel-analyze -t 1000 -f list.txt r16.wav r24.wav
sonvel-analyze -t 1000 -l -12 list.txt r16.wav list.txt r16.wav
sonvel-analyze -t 1000 -l -12 --json list.txt r16.wav list.txt r16.wav
sonvel-analyze -t 1000 -l -12 list.txt r16.wav tone.txt r16.wav
sonvel-analyze -t 1000 -l -12 list.txt r16.wav
sonvel-analyze -t 1000 -f list.txt nosuch.wav
sonvel-analyze -t 1000 -f list.txt --plot p.jpg r16.wav
sonvel-analyze -t 1000 -f tone.txt r16.wav
sonvel-analyze -q r16.wav
sonvel-analyze --played r24.wav -f list.txt --json r24.wav
sonvel-analyze --played r3007.wav -t 1000 -s 48000 -T 20 -l -20 -f list.txt r3007.wav
sonvel-analyze --played list.txt -f list.txt r16.wav
sonvel-analyze -l -12 -f list.txt r3007.wav
sonvel-analyze -t 1000 -T 200 -l -12 -f list.txt r16.wav
EOF
}

# Where two files part: "differs at byte B, line L" or "differs: the old one ends ...".
where() {
  cmp "$1" "$2" 2>&1 | sed -e 's/^.* differ: /differs at /' -e 's/ which is empty/ at byte 0/' \
    -e "s#^cmp: EOF on $r/\(old\|new\)[/.][^ ]*#differs: the \1 one ends#"
}

same=0 differ=0 n=0
while IFS= read -r cmd; do
  case $cmd in '' | '#'*) continue ;; esac
  n=$((n + 1)) r=$work/runs/$n
  run old "$r/old" "$cmd"
  run new "$r/new" "$cmd"
  found=()
  cmp -s "$r/old.status" "$r/new.status" ||
    found+=("status $(cat "$r/old.status") vs $(cat "$r/new.status")")
  for s in stdout stderr; do
    cmp -s "$r/old.$s" "$r/new.$s" || found+=("$s $(where "$r/old.$s" "$r/new.$s")")
  done
  while read -r f; do
    if [ ! -e "$r/old/$f" ]; then found+=("file $f: only in the new run")
    elif [ ! -e "$r/new/$f" ]; then found+=("file $f: only in the old run")
    elif ! cmp -s "$r/old/$f" "$r/new/$f"; then found+=("file $f $(where "$r/old/$f" "$r/new/$f")")
    fi
  done < <( (cd "$r/old" && find . -type f; cd "$r/new" && find . -type f) | sed 's|^\./||' | sort -u)
  if [ ${#found[@]} -eq 0 ]; then
    same=$((same + 1))
  else
    differ=$((differ + 1))
    for what in "${found[@]}"; do echo "#$n $cmd: $what"; done
  fi
done < <(table)

echo "$same same, $differ differ"
if [ $differ -eq 0 ]; then
  rm -rf "$work"
  exit 0
fi
echo "the runs are kept in $work/runs: #N in N/old and N/new, with N/old.stdout, .stderr, .status ..."
exit 1
