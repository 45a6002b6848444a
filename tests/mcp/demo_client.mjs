// The demo's MCP client (scripts/demo.d/60-mcp.sh): the official SDK's
// Client over stdio drives larkspire-mcp against the fixture application
// and prints each call and its result, long strings shortened.
//
//   node tests/mcp/demo_client.mjs PATH-TO-larkspire-mcp OUTPUT-FOLDER
import fs from 'node:fs';
import path from 'node:path';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { ResourceUpdatedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';

const [server, output] = process.argv.slice(2);

function shorten(value) {
  if (typeof value === 'string' && value.length > 400) return `${value.slice(0, 60)}... (${value.length} characters)`;
  if (Array.isArray(value)) {
    const items = value.slice(0, 6).map(shorten);
    return value.length > 6 ? [...items, `... ${value.length - 6} more`] : items;
  }
  if (value && typeof value === 'object') return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, shorten(v)]));
  return value;
}

function show(prefix, value) {
  const text = JSON.stringify(shorten(value), null, 2).split('\n');
  console.log(text.map((line, i) => (i === 0 ? `${prefix} ${line}` : `   ${line}`)).join('\n'));
}

const client = new Client({ name: 'larkspire-demo', version: '1.0.0' });
const transport = new StdioClientTransport({ command: server, env: process.env, stderr: 'ignore' });
await client.connect(transport);
console.log(`\n   connected to ${client.getServerVersion().name} ${client.getServerVersion().version}`);

const { tools } = await client.listTools();
console.log('\n-> tools/list');
for (const t of tools) console.log(`<- ${t.name.padEnd(20)} ${t.annotations.readOnlyHint ? 'read-only' : 'acts'}`);

async function call(name, args = {}) {
  console.log();
  show(`-> tools/call ${name}`, args);
  const result = await client.callTool({ name, arguments: args });
  const shown = { ...result };
  // The inventory is shown once, as structured content.
  if (shown.structuredContent) {
    shown.content = shown.content.map((c) => (c.type === 'text' ? { type: 'text', text: '(structuredContent as JSON text)' } : c));
  }
  show('<-', shown);
  return result;
}

const ref = (data, name) => data.elements.find((e) => e.name === name).ref;

await call('permission_status');
await call('request_permissions');
await call('list_applications', { query: 'fixture' });
let observed = await call('observe_window', { appId: 'org.example.Fixture' });
const picture = path.join(output, 'mcp-observe.png');
fs.writeFileSync(picture, Buffer.from(observed.content.find((c) => c.type === 'image').data, 'base64'));
console.log(`   (picture saved to ${picture})`);
let data = observed.structuredContent;
await call('act', { snapshotId: data.snapshotId, action: { type: 'click', ref: ref(data, 'Press me') } });
console.log('\n   the same snapshot a second time:');
await call('act', { snapshotId: data.snapshotId, action: { type: 'click', ref: ref(data, 'Press me') } });
data = (await call('observe_window', { appId: 'org.example.Fixture' })).structuredContent;
await call('act', { snapshotId: data.snapshotId, action: { type: 'click', ref: ref(data, 'Name') } });
data = (await call('observe_window', { appId: 'org.example.Fixture' })).structuredContent;
await call('act', { snapshotId: data.snapshotId, action: { type: 'type', text: 'Hello from MCP' } });

console.log('\n-> resources/subscribe selection://current');
let updated = 0;
client.setNotificationHandler(ResourceUpdatedNotificationSchema, (n) => {
  updated += 1;
  console.log(`<- notifications/resources/updated ${n.params.uri}`);
});
await client.subscribeResource({ uri: 'selection://current' });
await new Promise((resolve) => setTimeout(resolve, 1500));
const read = await client.readResource({ uri: 'selection://current' });
show('\n-> resources/read selection://current\n<-', JSON.parse(read.contents[0].text));
console.log(`   (${updated} update(s) so far)`);
await client.close();
