"""Pillow side of vbbench: decodes the files that vbbench names, one per line on standard input,
and answers each with the milliseconds the decode took (or "error ..."), timed here so that the
interpreter's start-up and the pipe stay outside the measurement. The first argument picks the
clock: "cpu" (processor time of this process, the default) or "wall" (elapsed time).

The file is opened inside the timed region and handed to Pillow as a file object, so Pillow
reads it into fresh memory as the other decoders do (given a path, Pillow would map some
uncompressed files instead of decoding them).
"""
import sys
import time

from PIL import Image

Image.MAX_IMAGE_PIXELS = None


def main():
    clock = time.perf_counter if sys.argv[1:2] == ["wall"] else time.process_time
    print("ready " + Image.__version__, flush=True)
    for line in sys.stdin:
        path = line.rstrip("\n")
        if not path:
            continue
        try:
            start = clock()
            with open(path, "rb") as file:
                image = Image.open(file)
                image.load()
            took = clock() - start
            size = image.size
            del image
            print("%.4f %d %d" % (took * 1000.0, size[0], size[1]), flush=True)
        except Exception as error:  # reported to vbbench, which shows the peer as failed
            print("error %s" % str(error).replace("\n", " "), flush=True)


if __name__ == "__main__":
    main()
