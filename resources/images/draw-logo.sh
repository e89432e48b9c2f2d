#!/usr/bin/env bash
# Draws the Corvalet application icon: a USB flash drive (connector with two
# contact holes on top, rounded body below) with the USB trident symbol cut out
# of the body. Single colour #1296db on a transparent background.
# Rerun from anywhere:  bash resources/images/draw-logo.sh
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
set -euo pipefail
dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
svg="$(mktemp --suffix=.svg)"
tmp="$(mktemp --suffix=.png)"
trap 'rm -f "$svg" "$tmp"' EXIT

cat > "$svg" <<'SVG'
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <defs>
    <mask id="usb" maskUnits="userSpaceOnUse" x="0" y="0" width="256" height="256">
      <rect x="0" y="0" width="256" height="256" fill="#fff"/>
      <g fill="#000" stroke="#000" stroke-width="9" stroke-linejoin="round">
        <!-- trunk, base circle, arrowhead -->
        <path d="M128 110 V200" fill="none"/>
        <circle cx="128" cy="210" r="12" stroke="none"/>
        <path d="M128 88 L142 114 H114 Z" stroke="none"/>
        <!-- left arm ending in a circle, right arm ending in a square -->
        <path d="M128 184 L98 164 V134" fill="none"/>
        <circle cx="98" cy="128" r="11" stroke="none"/>
        <path d="M128 200 L158 180 V156" fill="none"/>
        <rect x="148" y="136" width="20" height="20" stroke="none"/>
      </g>
    </mask>
  </defs>
  <g fill="#1296db">
    <!-- connector with two contact holes -->
    <path fill-rule="evenodd"
          d="M84 14 H172 V76 H84 Z M102 32 H122 V50 H102 Z M134 32 H154 V50 H134 Z"/>
    <!-- body with the USB symbol cut out -->
    <rect x="58" y="68" width="140" height="176" rx="22" mask="url(#usb)"/>
  </g>
</svg>
SVG

rsvg-convert -w 256 -h 256 "$svg" -o "$tmp"
# Force every pixel's RGB to #1296db (keeps alpha) and store as 8-bit RGBA.
convert "$tmp" -channel RGB -fill '#1296db' -colorize 100 +channel PNG32:"$dir/logo.png"
