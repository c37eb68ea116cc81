// The package as a host installs it: what `npm pack` puts in it, its metadata, its types under
// the module resolution of older TypeScript projects, and README links that work inside it.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, symlinkSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import * as path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { after, it } from 'node:test';

const run = promisify(execFile);
const root = fileURLToPath(new URL('..', import.meta.url));
const manifest = JSON.parse(readFileSync(path.join(root, 'package.json'), 'utf8'));
const scratch = mkdtempSync(path.join(tmpdir(), 'caretsafe-package-'));
after(() => rmSync(scratch, { recursive: true, force: true }));

/** The files `npm pack` would put in the package (without building it again). */
async function packedFiles() {
  const npm = process.platform === 'win32' ? 'npm.cmd' : 'npm';
  const { stdout } = await run(npm, ['pack', '--dry-run', '--json', '--ignore-scripts'], { cwd: root });
  return new Set(JSON.parse(stdout)[0].files.map((file) => file.path));
}

it('has a license, and every link of its README works inside the package', async () => {
  assert.equal(typeof manifest.license, 'string');
  assert.ok(manifest.license.length > 0);
  const files = await packedFiles();
  assert.ok(files.has('README.md') && files.has('dist/cjs/index.js') && files.has('dist/esm/index.js'));
  const readme = readFileSync(path.join(root, 'README.md'), 'utf8');
  // GitHub's anchors: lower case, punctuation dropped, blanks made hyphens.
  const anchors = new Set(
    [...readme.matchAll(/^#+ (.+)$/gm)].map(([, title]) =>
      title
        .toLowerCase()
        .replace(/[^\p{L}\p{N} -]/gu, '')
        .replace(/ /g, '-'),
    ),
  );
  const links = [...readme.matchAll(/\]\(([^)\s]+)\)/g)].map(([, target]) => target);
  assert.ok(links.length > 0);
  for (const link of links) {
    if (/^[a-z][a-z0-9+.-]*:/i.test(link)) continue;
    const [file, anchor] = link.split('#');
    if (file) assert.ok(files.has(path.posix.normalize(file)), `${link}: not in the package`);
    else assert.ok(anchors.has(anchor), `${link}: no such heading`);
  }
});

it('TypeScript with node10 resolution (no "exports") finds the types of caretsafe and caretsafe/testing', async () => {
  const host = path.join(scratch, 'host');
  mkdirSync(path.join(host, 'node_modules'), { recursive: true });
  symlinkSync(root, path.join(host, 'node_modules', 'caretsafe'), 'dir');
  writeFileSync(
    path.join(host, 'consumer.ts'),
    `import { Caretsafe, TimeoutError } from 'caretsafe';
import { fieldDesktop, startSim } from 'caretsafe/testing';

export async function code(): Promise<string> {
  const sim = await startSim({ desktop: fieldDesktop({ hang: true }) });
  const client = new Caretsafe(sim.clientOptions());
  try {
    await client.capture({ allowTyping: true });
  } catch (error) {
    if (error instanceof TimeoutError) return error.code;
  }
  return '';
}
`,
  );
  writeFileSync(
    path.join(host, 'tsconfig.json'),
    JSON.stringify({
      compilerOptions: {
        module: 'commonjs',
        moduleResolution: 'node10',
        target: 'ES2022',
        strict: true,
        noEmit: true,
        types: ['node'],
        typeRoots: [path.join(root, 'node_modules', '@types')],
      },
      files: ['consumer.ts'],
    }),
  );
  const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
  const result = await run(process.execPath, [tsc, '-p', host]).catch((error) => error);
  assert.equal(result.code ?? 0, 0, `${result.stdout}${result.stderr}`);
});
