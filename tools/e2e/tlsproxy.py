#!/usr/bin/env python3
"""A TLS endpoint for tests and the demonstration: terminates TLS and relays
the plain bytes to a TCP server (the lab's simulated WVT server), the way a
TLS-terminating proxy in front of a real server does. Also makes the
certificates it needs.

  tlsproxy.py certs DIR NAME [ADDRESS]
      Makes DIR/ca.pem (a certificate authority), DIR/server.pem and
      DIR/server.key (a certificate for NAME, and ADDRESS when given, signed
      by it), and the refused kinds: DIR/expired.pem/.key (expired an hour
      ago), DIR/other-name.pem/.key (for another name) and DIR/stranger.pem/
      .key (signed by another authority).
  tlsproxy.py serve --listen HOST:PORT --target HOST:PORT --cert PEM --key KEY [--mute]
      Serves until killed. Prints "ready port=N" once listening, then per
      connection "tls-accept conn=N from=H:P", "tls-handshake conn=N result=ok|failed
      [reason=...]" and, when it ends, "tls-end conn=N up=BYTES down=BYTES": the
      plain bytes from the client to the target and back (a failed handshake
      counts the bytes the client still sent). --mute accepts and never
      answers (a server that hangs in the handshake).
"""

import datetime
import os
import socket
import ssl
import sys
import threading

counter_lock = threading.Lock()
counter = [0]


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def make_certs(directory, name, address=None):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID
    import ipaddress

    now = datetime.datetime.now(datetime.timezone.utc)

    def subject(common_name):
        return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Orvel Lab"),
                          x509.NameAttribute(NameOID.COMMON_NAME, common_name)])

    def authority(common_name):
        key = ec.generate_private_key(ec.SECP256R1())
        certificate = (x509.CertificateBuilder().subject_name(subject(common_name))
                       .issuer_name(subject(common_name)).public_key(key.public_key())
                       .serial_number(x509.random_serial_number())
                       .not_valid_before(now - datetime.timedelta(days=1))
                       .not_valid_after(now + datetime.timedelta(days=30))
                       .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                       .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False),
                                      critical=True)
                       .sign(key, hashes.SHA256()))
        return key, certificate

    def leaf(issuer, common_name, names, before, after):
        issuer_key, issuer_certificate = issuer
        key = ec.generate_private_key(ec.SECP256R1())
        alternatives = [x509.DNSName(n) for n in names if not n[0].isdigit()]
        alternatives += [x509.IPAddress(ipaddress.ip_address(n)) for n in names if n[0].isdigit()]
        certificate = (x509.CertificateBuilder().subject_name(subject(common_name))
                       .issuer_name(issuer_certificate.subject).public_key(key.public_key())
                       .serial_number(x509.random_serial_number())
                       .not_valid_before(now + before).not_valid_after(now + after)
                       .add_extension(x509.SubjectAlternativeName(alternatives), critical=False)
                       .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                                      critical=False)
                       .sign(issuer_key, hashes.SHA256()))
        return key, certificate

    def write(stem, pair):
        key, certificate = pair
        with open(os.path.join(directory, stem + ".pem"), "wb") as out:
            out.write(certificate.public_bytes(serialization.Encoding.PEM))
        if key is not None:
            with open(os.path.join(directory, stem + ".key"), "wb") as out:
                out.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                            serialization.NoEncryption()))

    os.makedirs(directory, exist_ok=True)
    ca = authority("Orvel Lab CA")
    stranger_ca = authority("Stranger CA")
    names = [name] + ([address] if address else [])
    day = datetime.timedelta(days=1)
    hour = datetime.timedelta(hours=1)
    write("ca", (None, ca[1]))
    write("server", leaf(ca, name, names, -hour, 10 * day))
    write("expired", leaf(ca, name, names, -2 * day, -hour))
    write("other-name", leaf(ca, "other." + name, ["other." + name], -hour, 10 * day))
    write("stranger", leaf(stranger_ca, name, names, -hour, 10 * day))


def endpoint(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def pump(source, target, count, index):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            count[index] += len(data)
            target.sendall(data)
    except OSError:
        pass
    for s in (target,):
        try:
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def serve_one(raw, peer, number, context, target, mute):
    say("tls-accept conn=%d from=%s:%d" % (number, peer[0], peer[1]))
    if mute:
        try:
            while raw.recv(4096):
                pass
        except OSError:
            pass
        raw.close()
        return
    try:
        client = context.wrap_socket(raw, server_side=True)
    except (ssl.SSLError, OSError) as error:
        say("tls-handshake conn=%d result=failed reason=%s" % (number, str(error).replace(" ", "_")))
        sent = 0
        try:
            raw.settimeout(2)
            while True:
                data = raw.recv(4096)
                if not data:
                    break
                sent += len(data)
        except OSError:
            pass
        say("tls-end conn=%d up=%d down=0" % (number, sent))
        raw.close()
        return
    say("tls-handshake conn=%d result=ok" % number)
    upstream = socket.create_connection(target)
    count = [0, 0]
    down = threading.Thread(target=pump, args=(upstream, client, count, 1), daemon=True)
    down.start()
    pump(client, upstream, count, 0)
    down.join()
    say("tls-end conn=%d up=%d down=%d" % (number, count[0], count[1]))
    client.close()
    upstream.close()


def serve(argv):
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--target", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--mute", action="store_true")
    args = parser.parse_args(argv)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.cert, args.key)
    listener = socket.create_server(endpoint(args.listen), reuse_port=False)
    say("ready port=%d" % listener.getsockname()[1])
    target = endpoint(args.target)
    while True:
        raw, peer = listener.accept()
        with counter_lock:
            counter[0] += 1
            number = counter[0]
        threading.Thread(target=serve_one, args=(raw, peer, number, context, target, args.mute),
                         daemon=True).start()


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "certs":
        make_certs(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else None)
    elif len(sys.argv) >= 2 and sys.argv[1] == "serve":
        serve(sys.argv[2:])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main()
