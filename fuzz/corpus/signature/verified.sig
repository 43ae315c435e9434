untrusted comment: verify with fuzz.pub
RWQBI0VniavN7ymnOP5Wiqp61V6lxxs/D5BcZs8ttjHpg4tA6QBMgdkeoPAb2xk4Fc7NVrP4CcfRBSF9dg1ltf3/Dr1ENMoq8wY=
SHA256 (router_app.bin) = a172cedcae47474b615c54d510a5d84a8dea3032e958587430b413538be3f333
SHA256 (module_fw.bin) = 07f7ab476bc3a83fad639d34a012cb4a5f859441f0d24c11627ca96696839012
SHA512 (other.bin) = 00
