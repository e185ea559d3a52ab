# Dict, list and string churn of the kind an interpreter's allocator sees:
# many small objects, growing containers, strings built and dropped.
# Prints digests only, so runs under different allocators can be compared.
import hashlib
import sys

scale = int(sys.argv[1]) if len(sys.argv) > 1 else 1
digest = hashlib.sha256()

for round_no in range(scale):
    words = {}
    for i in range(60000):
        key = "w%x_%d" % (i * 2654435761 % 1000003, round_no)
        words.setdefault(key[: 3 + i % 5], []).append(key)
    rows = [[k, len(v), "-".join(v[:3])] for k, v in words.items()]
    rows.sort(key=lambda r: (-r[1], r[0]))
    text = "\n".join("%s %d %s" % tuple(r) for r in rows)
    digest.update(text.encode())
    big = {}
    for i in range(120000):
        big[i] = (str(i) * (1 + i % 7), [i] * (i % 11))
    for i in range(0, 120000, 3):
        del big[i]
    digest.update(str(sum(len(s) + len(l) for s, l in big.values())).encode())
    parts = text.split("\n")
    joined = "".join(p.upper()[::-1] for p in parts if len(p) % 2)
    digest.update(joined.encode())

print(len(joined), digest.hexdigest())
