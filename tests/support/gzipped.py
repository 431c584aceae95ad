"""Whether bytes are one whole gzip stream: the stand-in makes sure its
corrupted answers are not, and the tests check what it sent."""
import zlib


def inflates(data):
    d = zlib.decompressobj(wbits=31)
    try:
        d.decompress(data)
        d.flush()
    except zlib.error:
        return False
    return d.eof
