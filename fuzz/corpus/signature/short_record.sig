untrusted comment: x
RWQ=
