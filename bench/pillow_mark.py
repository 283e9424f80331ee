"""The Pillow side of the benchmark: the same jobs as the library's CLI.
   pillow_mark.py corner-text IN OUT FONT
   pillow_mark.py tiled-text IN OUT FONT
   pillow_mark.py logo IN OUT LOGO"""
import sys

from PIL import Image, ImageDraw, ImageFont

TEXT = "(c) 2026 Velmora"


def save(img, path):
    if path.lower().endswith((".jpg", ".jpeg")):
        img.convert("RGB").save(path, quality=92)
    else:
        img.save(path)


def corner_text(src, dst, font_path):
    img = Image.open(src).convert("RGBA")
    font = ImageFont.truetype(font_path, 48)
    layer = Image.new("RGBA", img.size, (0, 0, 0, 0))
    draw = ImageDraw.Draw(layer)
    left, top, right, bottom = draw.textbbox((0, 0), TEXT, font=font)
    pos = (img.width - 20 - (right - left) - left, img.height - 20 - (bottom - top) - top)
    draw.text(pos, TEXT, font=font, fill=(255, 255, 255, 204))
    save(Image.alpha_composite(img, layer), dst)


def tiled_text(src, dst, font_path):
    img = Image.open(src).convert("RGBA")
    font = ImageFont.truetype(font_path, 48)
    probe = ImageDraw.Draw(img)
    left, top, right, bottom = probe.textbbox((0, 0), TEXT, font=font)
    tile = Image.new("RGBA", (right - left + 40, bottom - top + 40), (0, 0, 0, 0))
    ImageDraw.Draw(tile).text((20 - left, 20 - top), TEXT, font=font, fill=(255, 255, 255, 102))
    tile = tile.rotate(30, resample=Image.BILINEAR, expand=True)
    layer = Image.new("RGBA", img.size, (0, 0, 0, 0))
    for y in range(0, img.height, tile.height):
        for x in range(0, img.width, tile.width):
            layer.paste(tile, (x, y))
    save(Image.alpha_composite(img, layer), dst)


def logo(src, dst, logo_path):
    img = Image.open(src).convert("RGBA")
    mark = Image.open(logo_path).convert("RGBA")
    mark = mark.resize((mark.width * 5 // 2, mark.height * 5 // 2), Image.BILINEAR)
    img.alpha_composite(mark, (img.width - 20 - mark.width, img.height - 20 - mark.height))
    save(img, dst)


if __name__ == "__main__":
    job, src, dst, extra = sys.argv[1:5]
    {"corner-text": corner_text, "tiled-text": tiled_text, "logo": logo}[job](src, dst, extra)
