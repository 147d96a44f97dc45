#!/usr/bin/env python3
"""Captures the ClientHello segments of real TLS clients.

Run as root: `capture_hellos.py OUTDIR [CLIENT...]` (MTUS="1500 576" by
default). For each client and MTU it makes a
network namespace whose loopback has that MTU, listens on 127.0.0.1:443,
runs the client against https://<name>/ and records every outbound IPv4
packet to port 443 that carries payload (as the client's kernel cut them; a loopback
packet is seen once with an IPv4 packet socket),
until the listener has the whole first TLS record. Each capture is written as
OUTDIR/<client>-<mtu>.hex: one IPv4 packet per line, in hex.
"""
import os
import socket
import struct
import subprocess
import sys
import threading
import time

NAME = "allowed.test"

CLIENTS = {
    "curl": ["curl", "-sk", "--max-time", "4", "--resolve", f"{NAME}:443:127.0.0.1",
             f"https://{NAME}/"],
    "openssl": ["sh", "-c", f"echo | openssl s_client -connect 127.0.0.1:443 "
                f"-servername {NAME}"],
    "openssl-noname": ["sh", "-c", "echo | openssl s_client -connect 127.0.0.1:443 "
                       "-noservername"],
    "gnutls": ["sh", "-c", f"echo | gnutls-cli --insecure --sni-hostname={NAME} "
               "-p 443 127.0.0.1"],
    "wget": ["wget", "-q", "-T", "4", "-t", "1", "--no-check-certificate", "-O", "/dev/null",
             f"https://{NAME}/"],
    "python": [sys.executable, "-c",
               "import socket,ssl\n"
               "c=ssl.create_default_context();c.check_hostname=False;"
               "c.verify_mode=ssl.CERT_NONE\n"
               "s=socket.create_connection(('127.0.0.1',443),4)\n"
               f"try: c.wrap_socket(s,server_hostname='{NAME}')\n"
               "except Exception: pass"],
    "chromium": ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
                 "--user-data-dir=/tmp/capture-hellos-chromium",
                 f"--host-resolver-rules=MAP {NAME} 127.0.0.1",
                 "--dump-dom", f"https://{NAME}/"],
}


def capture(client, command, mtu, outdir):
    ns = f"zcap{os.getpid()}"
    subprocess.run(["ip", "netns", "add", ns], check=True)
    # `ip netns exec` shows this file as /etc/hosts inside the namespace.
    os.makedirs(f"/etc/netns/{ns}", exist_ok=True)
    with open(f"/etc/netns/{ns}/hosts", "w") as hosts:
        hosts.write(f"127.0.0.1 localhost {NAME}\n")
    try:
        # The rest runs inside the namespace, in a child of this script.
        child = subprocess.run(
            ["ip", "netns", "exec", ns, sys.executable, __file__, "--inside", client, str(mtu)],
            capture_output=True, timeout=60)
        lines = child.stdout.decode().split()
        if not lines:
            print(f"{client}-{mtu}: nothing captured ({child.stderr.decode()[-300:]})")
            return
        path = os.path.join(outdir, f"{client}-{mtu}.hex")
        with open(path, "w") as out:
            out.write("\n".join(lines) + "\n")
        print(f"{client}-{mtu}: {len(lines)} segment(s)")
    finally:
        subprocess.run(["ip", "netns", "del", ns])
        os.remove(f"/etc/netns/{ns}/hosts")
        os.rmdir(f"/etc/netns/{ns}")


def inside(client, mtu):
    subprocess.run(["ip", "link", "set", "lo", "up", "mtu", str(mtu),
                    "gso_max_segs", "1"], check=True)
    sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.ntohs(0x0800))
    sniffer.bind(("lo", 0))
    sniffer.settimeout(0.2)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 443))
    listener.listen(4)
    done = threading.Event()

    def serve():
        conn, _ = listener.accept()
        data = b""
        while len(data) < 5 or len(data) < 5 + struct.unpack("!H", data[3:5])[0]:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        done.set()
        time.sleep(0.3)
        conn.close()

    threading.Thread(target=serve, daemon=True).start()
    proc = subprocess.Popen(CLIENTS[client], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    packets = []
    seen = set()
    deadline = time.time() + 30
    while time.time() < deadline:
        try:
            frame, address = sniffer.recvfrom(70000)
        except socket.timeout:
            if done.is_set():
                break
            continue
        ip = frame[14:]
        header = (ip[0] & 15) * 4
        total = struct.unpack("!H", ip[2:4])[0]
        ip = ip[:total]
        if ip[9] != 6 or struct.unpack("!H", ip[header + 2:header + 4])[0] != 443:
            continue
        tcp = ip[header:]
        payload = tcp[(tcp[12] >> 4) * 4:]
        seq = struct.unpack("!I", tcp[4:8])[0]
        if not payload or seq in seen:
            continue
        seen.add(seq)
        packets.append(ip.hex())
    proc.kill()
    proc.wait()
    # Keep the first connection's packets only (a client may open several).
    first = bytes.fromhex(packets[0]) if packets else b""
    port = first[20:22] if first else b""
    print("\n".join(p for p in packets if bytes.fromhex(p)[20:22] == port))


if __name__ == "__main__":
    if sys.argv[1] == "--inside":
        inside(sys.argv[2], int(sys.argv[3]))
    else:
        outdir = sys.argv[1]
        wanted = sys.argv[2:] or list(CLIENTS)
        mtus = [int(m) for m in os.environ.get("MTUS", "1500 576").split()]
        for client in wanted:
            for mtu in mtus:
                capture(client, CLIENTS[client], mtu, outdir)
