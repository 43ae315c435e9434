SHA256 (a.bin) = 00
