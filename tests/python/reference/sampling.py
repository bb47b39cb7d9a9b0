"""The seeded sampling stream: ChaCha12 (64-bit counter, stream 0) keyed by
PCG32 from the seed, four blocks per refill, Lemire's bounded draw and Floyd's
sampler of three indices."""

M32, M64 = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF
QUARTER_ROUNDS = [
    (0, 4, 8, 12),
    (1, 5, 9, 13),
    (2, 6, 10, 14),
    (3, 7, 11, 15),
    (0, 5, 10, 15),
    (1, 6, 11, 12),
    (2, 7, 8, 13),
    (3, 4, 9, 14),
]


class RandomSource:
    def __init__(self, seed):
        s, self.key = seed, []
        for _ in range(8):
            s = (s * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3) & M64
            x, r = ((s >> 45) ^ (s >> 27)) & M32, s >> 59
            self.key.append(((x >> r) | (x << ((32 - r) & 31))) & M32)
        self.counter, self.buf, self.idx = 0, [], 64

    def _block(self, counter):
        init = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *self.key]
        init += [counter & M32, counter >> 32, 0, 0]
        x = list(init)
        for _ in range(6):  # twelve rounds: a column round and a diagonal round each
            for a, b, c, d in QUARTER_ROUNDS:
                xa, xb, xc, xd = x[a], x[b], x[c], x[d]
                xa = (xa + xb) & M32
                xd ^= xa
                xd = ((xd << 16) | (xd >> 16)) & M32
                xc = (xc + xd) & M32
                xb ^= xc
                xb = ((xb << 12) | (xb >> 20)) & M32
                xa = (xa + xb) & M32
                xd ^= xa
                xd = ((xd << 8) | (xd >> 24)) & M32
                xc = (xc + xd) & M32
                xb ^= xc
                xb = ((xb << 7) | (xb >> 25)) & M32
                x[a], x[b], x[c], x[d] = xa, xb, xc, xd
        return [(a + b) & M32 for a, b in zip(x, init)]

    def next_u32(self):
        if self.idx >= 64:
            self.buf = sum((self._block((self.counter + i) & M64) for i in range(4)), [])
            self.counter, self.idx = (self.counter + 4) & M64, 0
        self.idx += 1
        return self.buf[self.idx - 1]

    def next_u64(self):
        """Two words, low first (the caller keeps clear of a refill between them)."""
        return self.next_u32() | self.next_u32() << 32

    def uniform_inclusive(self, high):
        rng = (high + 1) & M32
        if rng == 0:
            return self.next_u32()
        zone = ((rng << (32 - rng.bit_length())) & M32) - 1
        while True:
            p = self.next_u32() * rng
            if p & M32 <= zone:
                return p >> 32

    def sample3(self, length):
        out = []
        for j in range(length - 3, length):
            t = self.uniform_inclusive(j)
            if t in out:
                out.insert(out.index(t), j)
            else:
                out.append(t)
        return out
