#!/usr/bin/env python3
"""Draws the program icon and writes it as a Windows .ico file.

The design: a flash chip (dark body, silver pins, a white pin-1 mark) with a green arrow
pointing down into it. Two images, 32 x 32 and 16 x 16, each a 4-bit DIB with the standard
16-colour palette, an XOR (colour) mask and an AND (transparency) mask.

Usage: scripts/make_icon.py [OUTPUT]   (default: resources/imbrel.ico beside this script)
"""

import os
import struct
import sys

# The 16 colours of the standard VGA palette, in palette order, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_GREEN, SILVER, DARK_GRAY, GREEN, WHITE = 0, 2, 7, 8, 10, 15
TRANSPARENT = None


class Canvas:
    """A square of palette indices; None is a transparent pixel."""

    def __init__(self, size):
        self.size = size
        self.pixels = [[TRANSPARENT] * size for _ in range(size)]

    def rect(self, x, y, width, height, colour):
        for row in range(y, y + height):
            for column in range(x, x + width):
                self.pixels[row][column] = colour

    def shape(self, inside, fill, outline):
        """Fills the pixels whose centres `inside(x, y)` accepts and rings them with `outline`."""
        filled = {(column, row) for row in range(self.size) for column in range(self.size)
                  if inside(column + 0.5, row + 0.5)}
        for column, row in filled:
            for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                neighbour = (column + dx, row + dy)
                if (neighbour not in filled and 0 <= neighbour[0] < self.size
                        and 0 <= neighbour[1] < self.size):
                    self.pixels[neighbour[1]][neighbour[0]] = outline
        for column, row in filled:
            self.pixels[row][column] = fill


def down_arrow(centre, top, shaft_half_width, head_top, head_half_width, tip):
    """A predicate for an arrow pointing down: a shaft, then a head narrowing to `tip`."""

    def inside(x, y):
        if top <= y < head_top:
            return abs(x - centre) < shaft_half_width
        if head_top <= y < tip:
            return abs(x - centre) < head_half_width * (tip - y) / (tip - head_top)
        return False

    return inside


def draw_large():
    canvas = Canvas(32)
    for y in (18, 22, 26):
        canvas.rect(2, y, 4, 2, SILVER)
        canvas.rect(26, y, 4, 2, SILVER)
    canvas.rect(5, 15, 22, 16, BLACK)
    canvas.rect(6, 16, 20, 14, DARK_GRAY)
    canvas.rect(8, 26, 2, 2, WHITE)
    canvas.shape(down_arrow(16, 1, 3, 9, 9.5, 22), GREEN, DARK_GREEN)
    return canvas


def draw_small():
    canvas = Canvas(16)
    for y in (9, 11, 13):
        canvas.rect(1, y, 2, 1, SILVER)
        canvas.rect(13, y, 2, 1, SILVER)
    canvas.rect(2, 7, 12, 9, BLACK)
    canvas.rect(3, 8, 10, 7, DARK_GRAY)
    canvas.rect(4, 13, 1, 1, WHITE)
    canvas.shape(down_arrow(8, 1, 1.5, 5, 5, 11), GREEN, DARK_GREEN)
    return canvas


def row_bytes(bits_per_pixel, width):
    """Bytes in one DIB row: rows are padded to a multiple of 32 bits."""
    return (bits_per_pixel * width + 31) // 32 * 4


def dib(canvas):
    """The image as stored in an icon: BITMAPINFOHEADER, palette, XOR mask, AND mask.

    Rows run bottom-up. The header's height counts both masks, so it is twice the image's.
    """
    size = canvas.size
    xor_mask = bytearray()
    and_mask = bytearray()
    for row in reversed(canvas.pixels):
        colours = bytearray(row_bytes(4, size))
        mask = bytearray(row_bytes(1, size))
        for column, colour in enumerate(row):
            if colour is TRANSPARENT:
                mask[column // 8] |= 0x80 >> (column % 8)
                colour = 0
            colours[column // 2] |= colour << (4 if column % 2 == 0 else 0)
        xor_mask += colours
        and_mask += mask
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, 4, 0,
                         len(xor_mask) + len(and_mask), 0, 0, 0, 0)
    palette = b''.join(struct.pack('<BBBB', blue, green, red, 0) for red, green, blue in PALETTE)
    return header + palette + bytes(xor_mask) + bytes(and_mask)


def icon(canvases):
    """ICONDIR, one ICONDIRENTRY per image, then the images in the same order."""
    images = [dib(canvas) for canvas in canvases]
    offset = 6 + 16 * len(images)
    directory = struct.pack('<HHH', 0, 1, len(images))
    for canvas, image in zip(canvases, images):
        directory += struct.pack('<BBBBHHII', canvas.size, canvas.size, len(PALETTE), 0, 1, 4,
                                 len(image), offset)
        offset += len(image)
    return directory + b''.join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, '..', 'resources',
                                                                 'imbrel.ico')
    with open(output, 'wb') as file:
        file.write(icon([draw_large(), draw_small()]))


if __name__ == '__main__':
    main()
