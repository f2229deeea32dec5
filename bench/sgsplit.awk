# The separation as a short mawk script, for comparison with sgsplit-batch:
#   mawk -f sgsplit.awk MODEL > OUT
# Bytes are bytes (mawk knows no locale). A CR before an LF is dropped, the
# first 0x1A ends the input, empty, "g" and "o" lines are dropped, and a
# numbered group, object and material line goes before every "s" line. awk
# buffers its output, so lines reach the file in large writes, not one each.
# One difference is left alone: a last line that ends in CR without an LF
# loses that CR here.
BEGIN { ORS = "\r\n"; n = 1 }
{
  if ((i = index($0, "\032")) != 0) { $0 = substr($0, 1, i - 1); last = 1 }
  sub(/\r$/, "")
  c = substr($0, 1, 1)
  if (c == "" || c == "g" || c == "o") { if (last) exit; next }
  if (c == "s") { print "g object" n; print "o object" n; print "usemtl object" n; n++ }
  print
  if (last) exit
}
