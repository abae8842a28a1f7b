#!/usr/bin/env python3
"""Renders the application icon into the hicolor theme sizes that menus, docks
and file managers ask for (packaging/icons/hicolor/<N>x<N>/apps/korvelcrypt.png).

The icon is drawn by the same vector code as the window icon (draw-icons.py),
at each size directly, so that the small sizes stay sharp and the large ones
do not look blown up. Pure Python 3 standard library; run from anywhere:

    python3 scripts/draw-hicolor-icons.py [output-folder]
"""
import importlib.util
import os
import sys

SIZES = (16, 32, 48, 64, 128, 256)
NAME = "korvelcrypt.png"


def load_drawing():
    here = os.path.dirname(os.path.abspath(__file__))
    loader_spec = importlib.util.spec_from_file_location("draw_icons", os.path.join(here, "draw-icons.py"))
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "packaging", "icons", "hicolor")
    drawing = load_drawing()
    for size in SIZES:
        folder = os.path.join(target, f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        data = drawing.png_bytes(drawing.icon(size, drawing.draw_app_icon))
        with open(os.path.join(folder, NAME), "wb") as f:
            f.write(data)
        print(f"{size}x{size}/apps/{NAME}: {len(data)} bytes")


if __name__ == "__main__":
    main()
