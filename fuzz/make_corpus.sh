#!/usr/bin/env bash
# Writes the seed inputs of both fuzz targets into DIR/text_pass and
# DIR/file_name. Every seed is made here, from the byte and line rules'
# edge cases; none is copied from elsewhere.
set -euo pipefail
dir=$1
mkdir -p "$dir/text_pass" "$dir/file_name"

# text_pass: the first byte steers (0x80: no line limit; see the target).
t() { printf "$2" >"$dir/text_pass/$1"; }
t model '\x80v 0 0 0\n\ng box\nusemtl red\ns 1\nf 1 2 3\ns off\nf 3 2 1'
t crlf '\x80a\r\nb\r\n'
t lone_cr '\x80a\rb\na\r\r\n\r'
t sub '\x80a\nb\x1a\nc\n'
t sub_after_cr '\x80a\r\x1a'
t sub_padding '\x80a\n\x1a\x1a\x1a'
t nul '\x80a\x00b\n\x00\n'
t high_bytes '\x80\x80\xe9\xff\n\xef\xbb\xbfs 1\n'
t utf16 '\x80\xff\xfeg\x00 \x00b\x00\n\x00'
t empty_lines '\x80\n\n\n'
t limit '\x03abc\nabcd\n'
t limit_zero '\x00\na\n'
t fallbacks '\xe0s\r\n\rs\r\n'
t dropped '\x80g\no\ngfoo\n g\nS 1\nG\n\t\n'
# A CR LF split by the 4096-byte block edge, and a lone CR ending a block.
{ printf '\x80'; head -c 4095 /dev/zero | tr '\0' 'v'; printf '\r\ns 1\n'; } >"$dir/text_pass/block_edge"
{ printf '\xc0'; head -c 4095 /dev/zero | tr '\0' 'f'; printf '\rs\n'; } >"$dir/text_pass/block_edge_cr"
# A line longer than the writer's staging buffer.
{ printf '\x80s '; head -c 5000 /dev/zero | tr '\0' '7'; printf '\n'; } >"$dir/text_pass/long_line"

# file_name: names as bytes (and, read in pairs, as UTF-16 units).
n() { printf "$2" >"$dir/file_name/$1"; }
n ascii '/tmp/model.obj'
n latin1 '/tmp/mod\xe8le.obj'
n utf8 '/tmp/mod\xc3\xa8le \xe2\x82\xac \xf0\x9f\x98\x80.obj'
n overlong '\xc0\xaf\xe0\x80\xaf'
n surrogate_bytes '\xed\xa0\x80\xed\xbf\xbf'
n beyond '\xf4\x90\x80\x80\xf8\x88\x80\x80\x80'
n truncated '\xe2\x82'
n units_pair '\x3d\xd8\x00\xde'
n units_lone '\x00\xd8a\x00\x00\xdc'
n units_escape '\xe8\xdc'
