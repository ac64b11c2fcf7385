"""How a fleet lays itself out before it starts: its runtime folder, the
store (a local folder, a small disk of its own, or a GlusterFS volume
mounted for each machine), the folders and sockets only the fleet's user
and the front may enter, each host's link to the store, and nginx's and the
front's files."""

import grp
import os
import pwd
import stat
import subprocess

import front as front_module
import gluster
import leftovers

from support.defaults import OUTPUT_FOLDERS


class Layout:
    """The laying out of a Fleet, which holds the folders and settings it
    reads."""

    def make_runtime(self):
        """The runtime folder, made again if an earlier stop removed it: by
        name, in a folder others may write to, so what is found in its place
        must be this user's own folder, not a link planted there."""
        try:
            self.runtime.mkdir(mode=0o700)
        except FileExistsError:
            found = self.runtime.lstat()
            if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.geteuid():
                raise RuntimeError(f"{self.runtime} exists and is not this fleet's folder") from None
        # Others may pass through to the store (nginx's workers, as root), not list it.
        self.runtime.chmod(0o711)
        leftovers.mark(self.runtime)

    def nginx_user(self):
        """nginx's `user` line: started as root, its workers become nobody,
        who must be able to pass through to the store and read it."""
        if os.geteuid() != 0:
            return ""
        closed = [p for p in [self.store, *self.store.parents] if not p.stat().st_mode & 0o001]
        if closed:
            raise RuntimeError(
                f"nginx's workers run as nobody, who cannot pass through {closed[-1]} "
                f"to the store {self.store}: set TMPDIR to a folder others may pass "
                "through (mode o+x on it and on each folder above), as /tmp is"
            )
        for folder in (self.store, *(self.store / kind for kind in OUTPUT_FOLDERS)):
            folder.chmod(0o755)
        nobody = pwd.getpwnam("nobody")
        return f"user {nobody.pw_name} {grp.getgrgid(nobody.pw_gid).gr_name};"

    def output(self, host):
        """Where `host` finds the store: the store itself, or its machine's
        own mount of the volume."""
        if self.volume is None:
            return self.store
        return self.runtime / "mounts" / host.server

    def mount_store(self):
        """The volume, mounted for nginx (this machine) as the store and for
        each host's machine apart."""
        self.volume = gluster.Volume(self.network, self.runtime / "gluster")
        self.volume.start()
        self.volume.mount(None, self.store)
        for host in self.hosts:
            self.volume.mount(host.index, self.output(host))

    def lay_out(self):
        self.make_runtime()
        if self.store_kind == "gluster":
            self.mount_store()
        elif self.store_size and not os.path.ismount(self.store):
            self.store.mkdir(exist_ok=True)
            command = ["mount", "-t", "tmpfs", "-o", f"size={self.store_size},mode=0755", "tmpfs", self.store]
            subprocess.run(command, check=True)
        for kind in OUTPUT_FOLDERS:
            (self.store / kind).mkdir(parents=True, exist_ok=True)
        # Only the fleet's user may enter, and the front: others must come
        # through the front. The sockets made there take the folder's group
        # (the front's), which they let connect.
        user = self.front_user()
        for folder in (self.sockets, self.front_dir, self.front_run):
            folder.mkdir(parents=True, exist_ok=True)
            folder.chmod(0o700)
        if user is not None:
            os.chown(self.sockets, -1, user[1])
            self.sockets.chmod(0o2750)
            os.chown(self.front_run, *user)
        paths = [h.socket for h in self.hosts] + [h.health for h in self.hosts]
        for path in [*paths, self.nginx_socket, self.admin_socket, self.log_socket]:
            if len(str(path)) > front_module.SOCKET_PATH_MAX:
                raise RuntimeError(
                    f"the socket path {path} is too long for a unix socket; use a shorter TMPDIR"
                )
        for host in self.hosts:
            host.workdir.mkdir(parents=True, exist_ok=True)
            output = host.workdir / "output"
            # A link an earlier fleet left points at its removed store.
            if output.is_symlink():
                output.unlink()
            elif output.exists():
                raise RuntimeError(f"{output} exists and is not a link to a fleet's store")
            output.symlink_to(self.output(host), target_is_directory=True)
        for name in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            (self.run / "tmp" / name).mkdir(parents=True, exist_ok=True)
        self.run.chmod(0o700)
        (self.run / "nginx.conf").write_text(
            front_module.nginx_conf(self.run, self.store, self.nginx_socket, self.nginx_user())
        )
        self.calls_per_host = self.host_calls()
        # Every call the front may hand a host at once waits in the host's
        # listen backlog until a worker takes it; a smaller backlog refuses
        # connects while the host has room, and the front sheds calls it had
        # admitted.
        self.env.setdefault("WEBAPP_BACKLOG", str(self.calls_per_host))
        self.queue_max = front_module.queue_max(self.front, self.calls_per_host, len(self.hosts))
        self.servers_cfg.write_text(front_module.servers_cfg(self.hosts))
        self.copy_certificate()
